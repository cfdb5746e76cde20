// The symbol handler of the current process, set up on a report's first
// need and released when the report is over.
//
// The set-up does not take in the process's modules: under Wine that costs
// some 70 ms for each loaded module, seconds in a program with a few hundred
// of them, all spent before the report's first line. A module is made known
// to the handler only when a lookup needs it (the summary line, a frame's
// symbol and line, the stack walker's unwinding), so a report's cost follows
// the modules its stack passes through, not those the process has loaded.
#pragma once

#include <windows.h>

#include "loader_hold/loader_hold.h"

namespace ruxtrap {

// The images one set-up has offered the handler, so one it refused (no
// readable file, say) is not offered again at every frame. A stack passes
// through far fewer modules; past the table's end an image is offered at
// each lookup that needs it, which costs time, not correctness.
constexpr int kMostOfferedImages = 256;
// The loader's name of a module, long paths included.
constexpr DWORD kModulePathChars = 1024;

class SymbolEngine {
 public:
  // The set-up waits for the loader lock (on its first use in a process,
  // at least): hold says whether the report may wait for it.
  explicit SymbolEngine(LoaderLockHold& hold);
  SymbolEngine(const SymbolEngine&) = delete;
  SymbolEngine& operator=(const SymbolEngine&) = delete;

  // Sets up the symbol handler (line information on, modules made known as
  // lookups need them) unless the last set-up succeeded. A failed set-up is
  // tried again at the next need; one that faulted is not; none is made
  // while the report may not wait for the loader lock.
  void Ensure();
  // Releases the symbol handler if it is set up. Not done on its own when
  // the engine goes: a report that faulted (in the symbol handler, say)
  // must not call into it again. The next report's set-up then finds the
  // handler set up and uses it as it is, as it does one the program made.
  void Release();
  bool IsSetUp() const { return setUp_; }
  LoaderLockHold& Hold() { return hold_; }

  // Makes the module that holds address known to the symbol handler, once,
  // if the handler is set up and the address lies in a loaded image. The
  // module's bounds and name come from queries that do not wait for the
  // loader lock (the address's memory region, the image's own headers, the
  // loader's list read through PSAPI).
  void MakeModuleKnownAt(DWORD64 address);

 private:
  bool WasOffered(DWORD base) const;
  void NoteOffered(DWORD base);

  LoaderLockHold& hold_;
  bool setUp_;
  // A set-up that faulted (a corrupt heap, say): the report then goes on
  // without symbols instead of faulting again at every line.
  bool setUpFaulted_;
  DWORD offeredImages_[kMostOfferedImages];
  int offeredCount_;
  wchar_t modulePath_[kModulePathChars];
};

// The engine the stack walker's callbacks use while a walk step runs: the
// walker hands them no context of their own.
class WalkScope {
 public:
  explicit WalkScope(SymbolEngine& engine);
  ~WalkScope();
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;
};

// The stack walker's callbacks: the system's, after the module at address
// has been made known to the engine of the walk in progress.
PVOID CALLBACK FunctionTableAccessKnown(HANDLE process, DWORD64 address);
DWORD64 CALLBACK ModuleBaseKnown(HANDLE process, DWORD64 address);

}  // namespace ruxtrap
