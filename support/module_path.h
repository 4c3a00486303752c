#pragma once
// The running executable's own path.
#include <string>

// The full path of the running executable, however long; empty when it cannot be read.
// Any thread.
std::wstring ModulePath();
