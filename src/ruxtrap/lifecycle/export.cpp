// The library's one export and its module entry point. Built into the DLL only.
#include "lifecycle/lifecycle.h"
#include "ruxtrap.h"

// The argument is accepted and never read: any value, null included, gives the
// same installation.
extern "C" __declspec(dllexport) void WINAPI InitRuxtrap(const char* /*hostArgument*/) {
  ruxtrap::InstallCrashReporter();
}

// The runtime has constructed the module's static objects (the unload actions
// and the report lock) before this runs. The library needs no thread
// notifications.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}
