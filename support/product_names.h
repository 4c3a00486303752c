#pragma once
// The names by which the service is known outside its process, each with its one home
// here. They are what installers, peers and administrators already use: change none of
// them, and spell each exactly as it stands, even where it looks wrong.

// The service, as the service control manager stores it and as administrators name it
// ("sc query", "net stop"); the Event Log's source carries the same name.
inline constexpr wchar_t kServiceName[] = L"Varnholt Scheduling";
inline constexpr const wchar_t* kEventSourceName = kServiceName;

// The named kernel objects, as peers expect them. An application sets the check event to
// have its schedule checked at once; it waits on the completion event to learn that a main
// task has run. The wait timer and the lock are the service's own, named so that one
// scheduler per computer can be made sure of.
inline constexpr const wchar_t* kScheduleCheckEventName = L"Global\\VarnholtScheduleCheck";
inline constexpr const wchar_t* kScanCompletedEventName =
    L"Global\\VARNHOLT_SCHEDULED_SCAN_COMPLETED";
inline constexpr const wchar_t* kWaitTimerName = L"VarnholtWaitForScanTimer";
inline constexpr const wchar_t* kSchedulerLockName = L"Global\\VarnholtSchedulingScheduler";

// Values under the product key (HKLM\SOFTWARE\Varnholt), as stored by administrators and by
// the installers of the applications that take part.
inline constexpr const wchar_t* kDebugValue = L"Debug";                     // the log's level
inline constexpr const wchar_t* kPushScriptCommandValue = L"PushScriptCommand";
// "Inteval", not "Interval": the name installers have always written. Do not correct it.
inline constexpr const wchar_t* kMaxCheckIntervalValue = L"MaxCheckIntevalSecs";
// In each application's subkey.
inline constexpr const wchar_t* kSchedulerValue = L"Scheduler";     // the schedule query program
inline constexpr const wchar_t* kScannerValue = L"Scanner";         // the main task
inline constexpr const wchar_t* kAppDirValue = L"AppDir";           // the main task's folder
inline constexpr const wchar_t* kScheduleEnabledValue = L"ScheduleEnabled";   // the answer
