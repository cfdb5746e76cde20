// The crash host of the end-to-end tests: loads Ruxtrap.dll from its own
// folder, calls InitRuxtrap, then crashes in the way its arguments choose.
//   crash_host [--no-init] [--load-library] [--load-many N] [--stamp] [--own-filter | --platform-walk] MODE [ARGS...]
// Every crash sits in a named function of its own, so reports can be checked
// for the functions of the call stack. Before the mode runs, the host records
// what the tests compare with the report (see RecordFact).
#include <windows.h>

#include <wchar.h>

#include "modes.h"

namespace {

int NoInit(const wchar_t*) {
  skipInit = true;
  return 0;
}

int Stamp(const wchar_t*) {
  stampFault = true;
  return 0;
}

int OwnFilter(const wchar_t*) {
  SetEndProcessFilter();
  return 0;
}

// The library in the process, not installed: the platform-only filter then
// works among the same modules as a report.
int LoadLibraryOnly(const wchar_t*) {
  LoadLibraryW(L"Ruxtrap.dll");
  return 0;
}

int LoadManyCopies(const wchar_t* count) { return LoadMany(_wtoi(count)); }

int PlatformWalk(const wchar_t*) {
  SetPlatformWalkFilter();
  return 0;
}

const HostOption kOptions[] = {
    {L"--no-init", false, &NoInit},          {L"--stamp", false, &Stamp},
    {L"--own-filter", false, &OwnFilter},    {L"--load-library", false, &LoadLibraryOnly},
    {L"--load-many", true, &LoadManyCopies}, {L"--platform-walk", false, &PlatformWalk},
};

const ModeTable* const kTables[] = {&kFaultModes,  &kStackModes,      &kModuleModes,
                                    &kThreadModes, &kLoaderLockModes, &kHeapModes};

// The thread mode records the facts of its worker, not the main thread's.
void RecordProcessFacts(const Mode& mode) {
  RecordFact("exe", GetModuleHandleW(nullptr));
  RecordFact("pid", GetCurrentProcessId());
  RecordFact("ruxtrap", GetModuleHandleW(L"Ruxtrap.dll"));
  RecordFact("WriteThroughNullPointer", reinterpret_cast<void*>(&WriteThroughNullPointer));
  if (wcscmp(mode.name, L"thread") != 0) RecordThreadFacts();
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
  RecordFact("osPlatform", version.dwPlatformId);
  RecordFact("osMajor", version.dwMajorVersion);
  RecordFact("osMinor", version.dwMinorVersion);
  RecordFact("osBuild", version.dwBuildNumber);
  RecordFact("osProduct", static_cast<unsigned long>(version.wProductType));
  RecordFact("osServicePack0", static_cast<unsigned long>(version.szCSDVersion[0]));
}

const HostDescription kHost = {
    "crash_host",
    L"crash_host [--no-init] [--load-library] [--load-many N] [--stamp] [--own-filter | --platform-walk] MODE "
    L"[ARGS...]",
    kOptions,
    sizeof(kOptions) / sizeof(kOptions[0]),
    kTables,
    sizeof(kTables) / sizeof(kTables[0]),
    &RecordProcessFacts,
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HostCommand command;
  if (int status = PrepareHost(kHost, argc, argv, &command)) return status;
  return Run(command);
}
