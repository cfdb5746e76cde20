#include "describe/describe_detail.h"
#include "describe/symbol_engine.h"
#include "probes/loader_lock.h"
#include "support/fault_guard.h"
#include "support/step_times.h"

namespace ruxtrap {

namespace {

// The one walk in progress, carried from each call to the next.
struct StackWalkState {
  STACKFRAME64 frame;
  CONTEXT context;  // the walker's own copy of the exception's context
  DWORD64 previousFrame;
  DWORD64 previousStack;
  int frames;  // frames the walker has handed out in this walk
  bool ended;  // the walk stopped for good: no progress, or too deep
} walk;

void SeedStackFrame(const CONTEXT* context) {
  memset(&walk.frame, 0, sizeof(walk.frame));
  walk.frame.AddrPC.Offset = context->Eip;
  walk.frame.AddrFrame.Offset = context->Ebp;
  walk.frame.AddrStack.Offset = context->Esp;
  walk.frame.AddrPC.Mode = AddrModeFlat;
  walk.frame.AddrFrame.Mode = AddrModeFlat;
  walk.frame.AddrStack.Mode = AddrModeFlat;
}

// The base names of the modules the walk has met. A deep stack passes
// through few modules, and asking PSAPI for the name at every frame walks the
// loader's list each time (half a millisecond a frame under Wine); each
// module is asked once a walk. Names that may have been cut (as long as the
// slot) are not kept.
struct ModuleNameCache {
  static constexpr int kSlots = 32;
  struct Slot {
    DWORD64 base;
    DWORD length;
    wchar_t name[MAX_PATH];
  } slots[kSlots];
  int used;

  void Clear() { used = 0; }

  // Writes the name of the module at base at the line's position, as the
  // platform call would for the room left, and moves the position over it.
  void AppendName(DWORD64 base) {
    for (int i = 0; i < used; ++i)
      if (slots[i].base == base) return AppendCopy(slots[i]);
    const DescribePlatform& p = TheDescribePlatform();
    HMODULE module = reinterpret_cast<HMODULE>(static_cast<DWORD>(base));
    if (used < kSlots) {
      Slot& slot = slots[used];
      DWORD n = p.getModuleBaseName(GetCurrentProcess(), module, slot.name, MAX_PATH);
      if (n + 1 < MAX_PATH) {
        slot.base = base;
        slot.length = n;
        ++used;
        return AppendCopy(slot);
      }
    }
    reportLine.Advance(
        p.getModuleBaseName(GetCurrentProcess(), module, ReportBuffer + reportLine.position, reportLine.Room()));
  }

  static void AppendCopy(const Slot& slot) {
    DWORD room = static_cast<DWORD>(reportLine.Room());
    if (room == 0) return;
    DWORD n = slot.length < room ? slot.length : room - 1;
    memcpy(ReportBuffer + reportLine.position, slot.name, n * sizeof(wchar_t));
    reportLine.Advance(n);
  }
} moduleNames;

// The memory is always that of the calling process; an unreadable address
// is reported to the walker, never faulted on.
BOOL CALLBACK ReadMemoryCallback(HANDLE, DWORD64 baseAddress, PVOID buffer, DWORD size, LPDWORD bytesRead) {
  SIZE_T read = 0;
  BOOL ok = ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(static_cast<DWORD>(baseAddress)),
                              buffer, size, &read);
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(read);
  return ok;
}

// A broken frame chain (a garbage frame pointer, a saved one that points at
// itself) makes the walker hand back the same frame again and again; a frame
// at the same frame and stack address as the one before is no progress, and
// the walk stops there. The depth bound catches any other endless chain.
// Without a symbol handler the walker waits for the loader lock: while the
// report may not wait for it, the walk then finds no frame. With one set up
// before the lock was lost, the walk and its lookups do not wait.
bool AdvanceWalk() {
  if (walk.ended || (!LoaderCallsAllowed() && SymbolEngineFlag() == 0)) return false;
  // The walker unwinds from the frame's code and finds the next frame's
  // return address from the code it returns to: both modules must be known.
  MakeModuleKnownAt(walk.frame.AddrPC.Offset);
  MakeModuleKnownAt(walk.frame.AddrReturn.Offset);
  const DescribePlatform& p = TheDescribePlatform();
  if (!p.stackWalk64(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(), &walk.frame, &walk.context,
                     &ReadMemoryCallback, &FunctionTableAccessKnown, &ModuleBaseKnown, nullptr))
    return false;
  bool progress = walk.frame.AddrFrame.Offset != walk.previousFrame || walk.frame.AddrStack.Offset != walk.previousStack;
  walk.previousFrame = walk.frame.AddrFrame.Offset;
  walk.previousStack = walk.frame.AddrStack.Offset;
  if (!progress || ++walk.frames > kMaxStackFrames) {
    walk.ended = true;
    return false;
  }
  return true;
}

bool BuildFrameLine(DWORD flags) {
  EnsureSymbolEngine();
  if (!AdvanceWalk()) return false;
  RUXTRAP_STEP("frame: walk");
  // The frame pointer is 0: the walk cannot go on from this frame.
  if (walk.frame.AddrFrame.Offset == 0) return false;
  const DWORD64 pc = walk.frame.AddrPC.Offset;
  const DescribePlatform& p = TheDescribePlatform();
  MakeModuleKnownAt(pc);
  DWORD64 base = p.symGetModuleBase64(GetCurrentProcess(), pc);
  if (base == 0) return false;  // code in no module: no line
  RUXTRAP_STEP("frame: module base");

  reportLine.Start();
  reportLine.Append(L"%04X:%08X", walk.context.SegCs, static_cast<DWORD>(pc));
  if (flags & FrameParams)
    reportLine.Append(L" (0x%08X 0x%08X 0x%08X 0x%08X)", static_cast<DWORD>(walk.frame.Params[0]),
                      static_cast<DWORD>(walk.frame.Params[1]), static_cast<DWORD>(walk.frame.Params[2]),
                      static_cast<DWORD>(walk.frame.Params[3]));
  if (flags & FrameModule) {
    reportLine.Append(L" ");
    moduleNames.AppendName(base);
    RUXTRAP_STEP("frame: module name");
  }
  // After a missing or bare symbol the line is complete: no source line then.
  if ((flags & FrameSymbol) && !AppendSymbolSuffix(pc, (flags & ~DWORD{FrameSymbol}) != 0, true)) return true;
  RUXTRAP_STEP("frame: symbol");
  if (flags & FrameSourceLine) AppendSourceLineSuffix(pc, (flags & ~DWORD{FrameSourceLine}) != 0);
  RUXTRAP_STEP("frame: source line");
  return true;
}

// One step of the walk. A fault while the line is built ends this step with
// no line; the walk stays where the walker left it.
const wchar_t* FormatStackFrame(DWORD flags) {
  bool line = false;
  if (!RunGuarded([&] { line = BuildFrameLine(flags); })) return nullptr;
  return line ? ReportBuffer : nullptr;
}

}  // namespace

const wchar_t* FirstStackFrame(DWORD flags, EXCEPTION_POINTERS* pointers) {
  if (IsBadReadPtr(pointers, sizeof(EXCEPTION_POINTERS)) == 1) return nullptr;
  SeedStackFrame(pointers->ContextRecord);
  memcpy(&walk.context, pointers->ContextRecord, sizeof(CONTEXT));
  walk.previousFrame = walk.previousStack = ~DWORD64{0};
  walk.frames = 0;
  walk.ended = false;
  moduleNames.Clear();
  return FormatStackFrame(flags);
}

const wchar_t* NextStackFrame(DWORD flags, EXCEPTION_POINTERS*) { return FormatStackFrame(flags); }

}  // namespace ruxtrap
