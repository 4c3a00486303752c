#pragma once
// The program's side of the service control manager (module NTService): the one-shot
// control operations, the service's main function and its control handler.
#include <windows.h>

inline constexpr const wchar_t* kServiceName = L"Varnholt Scheduling";
inline constexpr const wchar_t* kServiceDescription =
    L"This service handles the scheduling for Varnholt Applications";

// The status reported to the service control manager; written only by ServiceMain and
// ServiceCtrlHandler.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// Each operation hands one request to the service control manager and returns without
// waiting for any state. Failures are logged at level 0 with the call's error code and
// give false; a stop of a service that is not running and a start of one that is already
// running give false without a message.
bool InstallService(bool demandStart);
bool UninstallService();
bool StartTheService();
bool StopTheService();

// Registers ServiceCtrlHandler and reports SERVICE_RUNNING; starts and waits for nothing.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// Stop and shutdown: tells both threads to stop, wakes the scheduler, kills the running
// children (the main task or query program first, then the push script) and reports
// SERVICE_STOPPED. Interrogate re-reports; any other code is logged. Runs on the thread
// that called StartServiceCtrlDispatcherW.
void WINAPI ServiceCtrlHandler(DWORD control);
