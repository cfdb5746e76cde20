// A DLL whose start-up runs while its loader holds the loader lock, for the
// crash host's loader-lock modes. With the environment variable
// RUXTRAP_DLLMAIN set to "release-and-wait", its process attach signals the
// event named by RUXTRAP_DLLMAIN_EVENT (a worker of the host then faults) and
// waits for ever, as a DllMain that waits for another thread does; with
// "release-and-hold", it signals and then keeps the lock for 3 s, as a slow
// DllMain does.
#include <windows.h>

namespace {

bool ModeIs(const wchar_t* mode) {
  wchar_t value[64] = {};
  GetEnvironmentVariableW(L"RUXTRAP_DLLMAIN", value, 64);
  return lstrcmpW(value, mode) == 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  const bool wait = ModeIs(L"release-and-wait"), hold = ModeIs(L"release-and-hold");
  if (wait || hold) {
    wchar_t name[64] = {};
    GetEnvironmentVariableW(L"RUXTRAP_DLLMAIN_EVENT", name, 64);
    HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (release != nullptr) SetEvent(release);
    Sleep(wait ? INFINITE : 3000);
  }
  return TRUE;
}
