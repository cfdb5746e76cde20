// What the tests' crash hosts share: a host is a list of options and tables
// of modes, each mode a named function that makes one kind of crash; the
// command line picks the options and the mode. Each host loads Ruxtrap.dll
// from its own folder and calls InitRuxtrap before the mode runs.
//
// The names here stand in reports' call stacks, which the tests check: they
// live in the global namespace (a namespace's name would be part of a frame's
// name), and every host is built without optimisation (no inlining, no
// clones), so each function keeps a frame of its own.
#pragma once

#include <windows.h>

#include <stddef.h>

// The arguments after the mode's name (or the mode's own fixed one).
struct ModeArgs {
  int count;
  wchar_t* const* values;

  const wchar_t* Text(int i) const { return i < count ? values[i] : nullptr; }
  int Number(int i) const;  // 0 when absent
  DWORD Hex(int i) const;   // 0 when absent
};

// A mode's function is called by Run, which wmain calls: the function's
// caller in the call stack is always Run.
using ModeFunction = int (*)(const ModeArgs& args);

struct Mode {
  const wchar_t* name;
  ModeFunction function;
  // Given to the function in place of the command line's arguments, for
  // modes that are one function with an argument of their own; null: the
  // command line's.
  const wchar_t* fixedArgument;
};

struct ModeTable {
  const Mode* modes;
  size_t count;
};

template <size_t N>
constexpr ModeTable TableOf(const Mode (&modes)[N]) {
  return {modes, N};
}

// An option before the mode ("--name", or "--name VALUE"). apply returns 0,
// or the exit code the host ends with at once.
struct HostOption {
  const wchar_t* name;
  bool takesValue;
  int (*apply)(const wchar_t* value);
};

struct HostDescription {
  const char* name;  // for InitRuxtrap and the host's messages
  const wchar_t* usage;
  const HostOption* options;
  size_t optionCount;
  const ModeTable* const* tables;
  size_t tableCount;
  void (*beforeMode)(const Mode& mode);  // may be null
};

// What the command line asked for, once the host is ready for it.
struct HostCommand {
  const HostDescription* host;
  const Mode* mode;
  ModeArgs args;
};

// Applies the options in their order (an unknown one is passed over), calls
// InitRuxtrap unless skipInit was set, and finds the mode. Returns 0, or the
// exit code: 2 without a mode, 3 for a mode the host does not have, 4 when
// the library cannot be loaded, or an option's own.
int PrepareHost(const HostDescription& host, int argc, wchar_t** argv, HostCommand* command);

// Runs the command's mode; its caller is the host's wmain.
int Run(const HostCommand& command);

// Set by an option: the host runs without the library's installation.
extern bool skipInit;
// Set by --stamp: the performance counter just before the fault goes to
// C:\ruxtrap-fault-qpc.txt, for the crash benchmark.
extern bool stampFault;

// Facts the tests compare with the report, as name=hex lines in
// C:\ruxtrap-host-facts.txt (addresses of functions, stack bounds, modules).
void RecordFact(const char* name, const void* value);
void RecordFact(const char* name, unsigned long value);
// The running thread's stack bounds and id.
void RecordThreadFacts();

// The fault most modes end in. With the arguments of a mode, so that a mode
// can be this function itself.
__attribute__((noinline)) int WriteThroughNullPointer(const ModeArgs& args = {});

// Unbounded recursion, each level with a frame of its own, until the guard
// page gives out.
__attribute__((noinline)) int RecurseForever(int depth);

// ntdll's LdrLockLoaderLock, through which a thread takes the loader lock as
// the loader's own callbacks hold it.
using LdrLockLoaderLockFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
LdrLockLoaderLockFn LoaderLockCall();

// Several processes that crash at the same moment: waits for the named
// event, once it has counted itself in on the semaphore NAME-ready (when the
// caller made one). Ends the process with code 5 when there is no event.
void WaitForSignal(const wchar_t* eventName);

// count threads, each of which runs then (with no arguments) once all of
// them are at their wait and are released together; returns once they are
// released.
void ReleaseThreadsTogether(int count, ModeFunction then);

// A thread started and running: the thread calls SignalRunning() first. A
// thread's start-up takes the loader lock, so a crash made while the lock is
// held must not come before.
void StartRunningThread(LPTHREAD_START_ROUTINE function);
void SignalRunning();
// A thread that signals it runs, then faults.
DWORD WINAPI SignalThenFault(void*);

// C:\CrashEvent.log: whether it holds text, whether its last report is
// whole (it ends with the closing empty lines), its size (0 when there is
// none).
bool LogHolds(const char* text);
bool LogEndsWithWholeReport();
ULONGLONG LogSize();

// The folder of the host's own program, with its trailing backslash.
void OwnFolder(wchar_t (&path)[MAX_PATH], DWORD* length);
