#include "report/report.h"
#include "support/scoped.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {
// The script host is idle once its message box waits for a click. A host
// that never gets there (hung, or a console program that never goes idle)
// must not keep the crashing process alive: the wait is bounded.
constexpr DWORD kIdleWaitMs = 10000;
}  // namespace

void LaunchProcess(const char* applicationName, const char* commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  // CreateProcessA may write into the command line, so it gets a copy.
  char line[MAX_PATH * 2] = {};
  lstrcpynA(line, commandLine, sizeof(line));
  if (!CreateProcessA(applicationName, line, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP,
                      nullptr, nullptr, &startup, &info))
    return;
  RUXTRAP_STEP("script host start");
  ScopedKernelHandle process(info.hProcess);
  ScopedKernelHandle thread(info.hThread);
  WaitForInputIdle(process.Get(), kIdleWaitMs);
  RUXTRAP_STEP("script host wait");
}

}  // namespace ruxtrap
