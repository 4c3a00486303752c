#pragma once
// The smallest service there is, for tests and benchmarks that need a service of their own
// under the service control manager. Uses nothing but advapi32.

// Runs this process as an own-process service under name: it reports RUNNING when started
// and STOPPED as soon as it is told to stop or the system shuts down. With
// endInStopHandler the process ends in the stop handler right after its report of
// STOPPED, before the handler's answer can reach the service control manager. Returns
// true once the dispatcher has returned after the stop; false when the dispatcher could not
// start (the program was not started as a service). One service per process.
bool RunSmallestService(const wchar_t* name, bool endInStopHandler = false);
