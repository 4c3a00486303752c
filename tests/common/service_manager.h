#pragma once
// The installed service "Varnholt Scheduling" as the service control manager reports it.
#include <windows.h>

// The installed service's current state (SERVICE_RUNNING, ...), or 0 when it is not installed.
DWORD ServiceState();
// Stops and deletes the service if it is installed, and waits until it is gone and no
// VarnholtScheduling.exe runs any more.
void RemoveServiceCompletely();
