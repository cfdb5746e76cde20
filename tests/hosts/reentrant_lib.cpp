// Stands in for a system DLL that the library binds at InitRuxtrap (the
// tests put it beside the host as oleaut32.dll): its start-up code calls
// InitRuxtrap, as a plug-in's DllMain may, on the thread that is binding.
#include <windows.h>

#include "ruxtrap.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  auto init = reinterpret_cast<InitRuxtrapFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"Ruxtrap.dll"), "InitRuxtrap")));
  if (init != nullptr) init("from a DLL the binding loads");
  return TRUE;
}
