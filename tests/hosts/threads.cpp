// Faults on other threads than the main one: one worker, many workers
// released at the same moment, several processes released by one event, and
// a worker's fault while the main thread ends the process.
#include <windows.h>

#include "modes.h"

namespace {

DWORD WINAPI NullWriteThread(void*) {
  RecordThreadFacts();
  WriteThroughNullPointer();
  return 0;
}

int CrashOnWorker(const ModeArgs&) {
  HANDLE thread = CreateThread(nullptr, 0, &NullWriteThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  return 0;
}

int CrashManyThreads(const ModeArgs& args) {
  ReleaseThreadsTogether(args.Number(0), &WriteThroughNullPointer);
  Sleep(INFINITE);
  return 0;
}

// Several processes crash at the same moment (see WaitForSignal).
__attribute__((noinline)) int FaultOnSignal(const ModeArgs& args) {
  WaitForSignal(args.Text(0));
  return WriteThroughNullPointer();
}

// A worker faults while the main thread ends the process: delayMs after the
// fault, or, with a negative delay, as soon as the report's system section
// has reached its display line (the DirectX query comes next).
int ExitWhileWorkerReports(const ModeArgs& args) {
  const int delayMs = args.Number(0);
  StartRunningThread(&SignalThenFault);
  if (delayMs >= 0) Sleep(delayMs);
  for (int waited = 0; delayMs < 0 && !LogHolds("[Display mode]:") && waited < 60000; ++waited) Sleep(1);
  ExitProcess(0);
}

const Mode kModes[] = {
    {L"thread", &CrashOnWorker, nullptr},
    {L"threads", &CrashManyThreads, nullptr},
    {L"on-signal", &FaultOnSignal, nullptr},
    {L"exit-race", &ExitWhileWorkerReports, nullptr},
};

}  // namespace

const ModeTable kThreadModes = TableOf(kModes);
