#pragma once
// The program's start-up and command-line modes: the entry point's whole work.

// The whole program behind wmain: start-up, then one option or service mode. With one
// argument that is an option, the log's lines also appear on standard error (from the
// start-up's own on) and a closing sentence on standard output; with one argument that is
// none, the usage appears on standard error and nothing is done. Returns the process exit
// code, which is 0 on every path but "-s", whose code tells the service's state, and the
// installer's check ("--check-installed"). Test mode and service mode return while the
// worker threads may still run; returning from wmain then ends the process. Nothing those
// threads use is ever destroyed (the logger's object, its sinks and LogDirectory live on
// the heap for good; the slots, flags and locks are plain data), so the destructors that
// run at exit cannot pull anything from under them.
int RunProgram(int argc, wchar_t* argv[]);
