#include "dumps/dump_files.h"
// windows.h first
#include <dbghelp.h>

#include "dumps/dump_settings.h"
#include "dumps/dumps.h"
#include "support/fault_guard.h"
#include "support/optional_calls.h"
#include "support/report_progress.h"
#include "support/reserve_stack.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {

// Stack the platform's dump writer may use on the faulting thread's own
// stack; far more than it was seen to take.
constexpr SIZE_T kDumpStackBytes = 256 * 1024;
// How long the platform's writer may take without a sign of progress before
// a thread waiting for the report ends the process: in a program with a
// thousand modules, Wine's took over a minute before its first byte.
constexpr DWORD kDumpBoundMs = 10 * 60 * 1000;

struct DumpCall {
  HANDLE file;
  EXCEPTION_POINTERS* pointers;
  DWORD type;
  bool written;
};

// Every callback is a step: the platform calls it for each thread and
// module it writes, and where it can (CancelCallback) now and then while it
// writes memory.
BOOL CALLBACK NoteDumpProgress(void*, MINIDUMP_CALLBACK_INPUT* input, MINIDUMP_CALLBACK_OUTPUT* output) {
  NoteReportProgress();
  if (input->CallbackType == CancelCallback) {
    output->Cancel = FALSE;
    output->CheckCancel = TRUE;
  }
  return TRUE;
}

void WriteDumpHere(void* context) {
  auto* call = static_cast<DumpCall*>(context);
  RunGuarded([call] {
    MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), call->pointers, FALSE};
    MINIDUMP_CALLBACK_INFORMATION callback = {&NoteDumpProgress, nullptr};
    auto writeDump = Optional().miniDumpWriteDump;
    call->written = writeDump != nullptr &&
                    writeDump(GetCurrentProcess(), GetCurrentProcessId(), call->file,
                              static_cast<MINIDUMP_TYPE>(call->type), &exception, nullptr, &callback) != FALSE;
  });
}

// From the thread's own stack where it has room, so the dump holds the
// faulting frames as this thread's stack; else (a stack overflow) from the
// report's stack, which the dump then holds in their place.
bool WriteDump(HANDLE file, EXCEPTION_POINTERS* pointers, DWORD type) {
  DumpCall call = {file, pointers, type, false};
  BeginLongStep(kDumpBoundMs);
  if (!RunOnOuterStack(&WriteDumpHere, &call, kDumpStackBytes)) WriteDumpHere(&call);
  EndLongStep();
  return call.written;
}

void WriteDumpGuarded(EXCEPTION_POINTERS* pointers) {
  const DumpSettings& settings = TheDumpSettings();
  if (!MakeFolder(settings.folder)) return;
  RUXTRAP_STEP("dump folder made");
  DumpFile file(settings.path);
  if (!file.IsOpen()) return;
  const bool written = WriteDump(file.Handle(), pointers, settings.type);
  RUXTRAP_STEP("dump written");
  // The folder is thinned only for a dump that is whole and in its place.
  if (!written || !file.Keep()) return;
  KeepNewestDumps(settings.folder, settings.keep, settings.path);
  RUXTRAP_STEP("dump folder thinned");
}

}  // namespace

// While another thread holds the loader lock for good, the platform's dump
// writer waits for it for ever (measured under Wine: its first call looks a
// module up through the loader), and the process would never end: no dump
// is written then.
void WriteCrashDump(EXCEPTION_POINTERS* pointers, LoaderLockHold& hold) {
  if (!TheDumpSettings().enabled || !hold.CallsAllowed()) return;
  RUXTRAP_STEP("before the dump");
  RunGuarded([pointers] { WriteDumpGuarded(pointers); });
  EndLongStep();
}

}  // namespace ruxtrap
