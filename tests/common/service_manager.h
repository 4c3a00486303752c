#pragma once
// The installed service "Varnholt Scheduling" as the service control manager reports it.
#include <windows.h>

// The installed service's current state (SERVICE_RUNNING, ...), or 0 when it is not installed.
DWORD ServiceState();
// Stops and deletes the service if it is installed, and waits until it is gone and no
// VarnholtScheduling.exe runs any more.
void RemoveServiceCompletely();
// Installs a stand-in of the product's name (the test child, demand start) so that the
// worker records its state under the service's entry. False when it cannot be installed.
bool InstallStandInService();
