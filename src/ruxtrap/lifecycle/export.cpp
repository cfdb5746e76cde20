// The library's one export and its module entry point. Built into the DLL only.
#include "lifecycle/lifecycle.h"
#include "ruxtrap.h"

// The argument is accepted and never read: any value, null included, gives the
// same installation. Ruxtrap.def exports it.
extern "C" void WINAPI InitRuxtrap(const char* /*hostArgument*/) {
  ruxtrap::InstallCrashReporter();
}

// The MinGW start-up code of a DLL calls this TLS initialiser, and pulling it
// in gives the DLL a TLS directory with the runtime's thread callbacks. The
// loader refuses DisableThreadLibraryCalls to a DLL with a TLS directory, so
// every thread the host started or ended would enter this DLL under the
// loader lock. The library has no thread-local data and creates no threads:
// a null initialiser keeps the TLS support, and with it the directory, out.
extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

// The runtime has constructed the module's static objects (the unload actions
// and the report lock) before this runs. The library needs no thread
// notifications. At detach, a non-null reserved argument says the process is
// ending; this runs before the static objects' unload actions.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) ruxtrap::NoteProcessEnding();
  return TRUE;
}
