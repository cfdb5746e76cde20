#include "describe/symbol_engine.h"

#include "probes/probes.h"
#include "support/fault_guard.h"
#include "support/optional_calls.h"
#include "support/report_progress.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {
// The engine of the walk step in progress; one report at a time walks.
SymbolEngine* walking = nullptr;
}  // namespace

SymbolEngine::SymbolEngine(LoaderLockHold& hold)
    : hold_(hold), setUp_(false), setUpFaulted_(false), offeredImages_(), offeredCount_(0), modulePath_() {}

bool SymbolEngine::WasOffered(DWORD base) const {
  for (int i = 0; i < offeredCount_; ++i)
    if (offeredImages_[i] == base) return true;
  return false;
}

void SymbolEngine::NoteOffered(DWORD base) {
  if (offeredCount_ < kMostOfferedImages) offeredImages_[offeredCount_++] = base;
}

void SymbolEngine::Ensure() {
  if (setUp_ || setUpFaulted_ || !hold_.CallsAllowed()) return;
  const OptionalCalls& calls = Optional();
  if (calls.symInitialize == nullptr || calls.symSetOptions == nullptr || calls.symGetOptions == nullptr) return;
  offeredCount_ = 0;
  setUpFaulted_ = !RunGuarded([this, &calls] {
    calls.symSetOptions(calls.symGetOptions() | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
    setUp_ = calls.symInitialize(GetCurrentProcess(), nullptr, FALSE) != FALSE;
  });
  NoteReportProgress();
  RUXTRAP_STEP("symbol set-up");
}

void SymbolEngine::Release() {
  if (!setUp_) return;
  if (Optional().symCleanup != nullptr) Optional().symCleanup(GetCurrentProcess());
  setUp_ = false;
  offeredCount_ = 0;
}

// The image's name is the path the loader keeps for it: the handler reads
// the module's debug information from that file (deferred to the first
// lookup in it). A name that does not fit is left out; the handler then
// knows the module's bounds and exports only.
void SymbolEngine::MakeModuleKnownAt(DWORD64 address) {
  // An address of 0x80000000 and up may come with its sign widened.
  const DWORD high = static_cast<DWORD>(address >> 32);
  if (!setUp_ || address == 0 || (high != 0 && high != 0xFFFFFFFF)) return;
  const OptionalCalls& calls = Optional();
  HANDLE process = GetCurrentProcess();
  if (calls.symGetModuleBase64(process, address) != 0) return;
  ImageSpan image;
  if (!FindImageAt(static_cast<DWORD>(address), &image) || WasOffered(image.base)) return;
  NoteOffered(image.base);
  DWORD n = GetModuleFileNameExCompat(process, reinterpret_cast<HMODULE>(image.base), modulePath_, kModulePathChars);
  const bool named = n > 0 && n < kModulePathChars;
  if (named) modulePath_[n] = L'\0';
  // A module whose file the handler cannot read (renamed or removed since it
  // was loaded, a path beyond what the handler takes, an image mapped as a
  // resource) is made known by its bounds alone: its frames keep their
  // module and the walk goes on through them.
  if (calls.symLoadModuleExW(process, nullptr, named ? modulePath_ : nullptr, nullptr, image.base, image.size, nullptr,
                             0) == 0)
    calls.symLoadModuleExW(process, nullptr, named ? modulePath_ : L"module", nullptr, image.base, image.size, nullptr,
                           SLMFLAG_VIRTUAL);
  NoteReportProgress();
  RUXTRAP_STEP("module made known");
}

WalkScope::WalkScope(SymbolEngine& engine) { walking = &engine; }
WalkScope::~WalkScope() { walking = nullptr; }

PVOID CALLBACK FunctionTableAccessKnown(HANDLE process, DWORD64 address) {
  if (walking != nullptr) walking->MakeModuleKnownAt(address);
  return Optional().symFunctionTableAccess64(process, address);
}

DWORD64 CALLBACK ModuleBaseKnown(HANDLE process, DWORD64 address) {
  if (walking != nullptr) walking->MakeModuleKnownAt(address);
  return Optional().symGetModuleBase64(process, address);
}

}  // namespace ruxtrap
