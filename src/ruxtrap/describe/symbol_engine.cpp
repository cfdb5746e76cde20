#include "describe/symbol_engine.h"

#include <dbghelp.h>

#include "probes/loader_lock.h"
#include "probes/probes.h"
#include "support/fault_guard.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {
// Holds the result of the last SymInitialize. Used only under the report lock.
LONG symbolEngineFlag = 0;
// Set when a set-up faulted (a corrupt heap, say): the report then goes on
// without symbols instead of faulting again at every line.
bool setUpFaulted = false;

// The images this set-up has offered the handler, so one it refused (no
// readable file, say) is not offered again at every frame. A stack passes
// through far fewer modules; past the table's end an image is offered at
// each lookup that needs it, which costs time, not correctness.
constexpr int kMostOfferedImages = 256;
DWORD offeredImages[kMostOfferedImages];
int offeredCount = 0;

bool WasOffered(DWORD base) {
  for (int i = 0; i < offeredCount; ++i)
    if (offeredImages[i] == base) return true;
  return false;
}

// The loader's name of a module, long paths included.
constexpr DWORD kModulePathChars = 1024;
wchar_t modulePath[kModulePathChars];

void NoteOffered(DWORD base) {
  if (offeredCount < kMostOfferedImages) offeredImages[offeredCount++] = base;
}

void ForgetOfferedImages() { offeredCount = 0; }
}  // namespace

// The set-up waits for the loader lock (on its first use in a process, at
// least): while another thread holds it, the report has no symbol handler.
void EnsureSymbolEngine() {
  if (symbolEngineFlag != 0 || setUpFaulted || !LoaderCallsAllowed()) return;
  ForgetOfferedImages();
  setUpFaulted = !RunGuarded([] {
    SymSetOptions(SymGetOptions() | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
    symbolEngineFlag = SymInitialize(GetCurrentProcess(), nullptr, FALSE) ? 1 : 0;
  });
  RUXTRAP_STEP("symbol set-up");
}

void ReleaseSymbolEngine() {
  if (symbolEngineFlag != 1) return;
  SymCleanup(GetCurrentProcess());
  symbolEngineFlag = 0;
  ForgetOfferedImages();
}

LONG SymbolEngineFlag() { return symbolEngineFlag; }

// The image's name is the path the loader keeps for it: the handler reads
// the module's debug information from that file (deferred to the first
// lookup in it). A name that does not fit is left out; the handler then
// knows the module's bounds and exports only.
void MakeModuleKnownAt(DWORD64 address) {
  // An address of 0x80000000 and up may come with its sign widened.
  const DWORD high = static_cast<DWORD>(address >> 32);
  if (symbolEngineFlag != 1 || address == 0 || (high != 0 && high != 0xFFFFFFFF)) return;
  HANDLE process = GetCurrentProcess();
  if (SymGetModuleBase64(process, address) != 0) return;
  ImageSpan image;
  if (!FindImageAt(static_cast<DWORD>(address), &image) || WasOffered(image.base)) return;
  NoteOffered(image.base);
  DWORD n = GetModuleFileNameExCompat(process, reinterpret_cast<HMODULE>(image.base), modulePath, kModulePathChars);
  const bool named = n > 0 && n < kModulePathChars;
  if (named) modulePath[n] = L'\0';
  // A module whose file the handler cannot read (renamed or removed since it
  // was loaded, a path beyond what the handler takes, an image mapped as a
  // resource) is made known by its bounds alone: its frames keep their
  // module and the walk goes on through them.
  if (SymLoadModuleExW(process, nullptr, named ? modulePath : nullptr, nullptr, image.base, image.size, nullptr, 0) ==
      0)
    SymLoadModuleExW(process, nullptr, named ? modulePath : L"module", nullptr, image.base, image.size, nullptr,
                     SLMFLAG_VIRTUAL);
  RUXTRAP_STEP("module made known");
}

PVOID CALLBACK FunctionTableAccessKnown(HANDLE process, DWORD64 address) {
  MakeModuleKnownAt(address);
  return SymFunctionTableAccess64(process, address);
}

DWORD64 CALLBACK ModuleBaseKnown(HANDLE process, DWORD64 address) {
  MakeModuleKnownAt(address);
  return SymGetModuleBase64(process, address);
}

}  // namespace ruxtrap
