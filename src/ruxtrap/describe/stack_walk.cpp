#include "describe/describe_detail.h"
#include "describe/symbol_engine.h"
#include "probes/probes.h"
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
    const DescribePlatform& p = DescribeCalls();
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
bool AdvanceWalk(SymbolEngine& symbols) {
  if (walk.ended || (!symbols.IsSetUp() && !symbols.Hold().CallsAllowed())) return false;
  // The walker unwinds from the frame's code and finds the next frame's
  // return address from the code it returns to: both modules must be known.
  symbols.MakeModuleKnownAt(walk.frame.AddrPC.Offset);
  symbols.MakeModuleKnownAt(walk.frame.AddrReturn.Offset);
  const DescribePlatform& p = DescribeCalls();
  WalkScope walking(symbols);
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

// The line of the frame whose code is at pc, with the four values the
// walker takes for its arguments. False for code in no module: no line.
void StartFrameLine(DWORD64 pc, const DWORD64 (&params)[4]) {
  reportLine.Start();
  reportLine.Append(L"%04X:%08X", SegmentSelector(walk.context.SegCs), static_cast<DWORD>(pc));
  reportLine.Append(L" (0x%08X 0x%08X 0x%08X 0x%08X)", static_cast<DWORD>(params[0]), static_cast<DWORD>(params[1]),
                    static_cast<DWORD>(params[2]), static_cast<DWORD>(params[3]));
}

bool FormatFrameAt(SymbolEngine& symbols, DWORD64 pc, const DWORD64 (&params)[4], bool returnAddress) {
  const DescribePlatform& p = DescribeCalls();
  symbols.MakeModuleKnownAt(pc);
  DWORD64 base = p.symGetModuleBase64(GetCurrentProcess(), pc);
  if (base == 0) {
    // Code a program made at run time (a JIT compiler's, a thunk) lies in no
    // module: its line has the address and arguments only, and the walk
    // goes on through it. Anything else ends the listing.
    if (!IsExecutableMemory(reinterpret_cast<const void*>(static_cast<DWORD>(pc)))) return false;
    StartFrameLine(pc, params);
    return true;
  }
  RUXTRAP_STEP("frame: module base");

  StartFrameLine(pc, params);
  reportLine.Append(L" ");
  moduleNames.AppendName(base);
  RUXTRAP_STEP("frame: module name");
  const DWORD back = returnAddress ? ReturnAddressBias(symbols, pc) : 0;
  // After a missing or bare symbol the line is complete: no source line then.
  if (!AppendSymbolSuffix(symbols, pc, true, true, back)) return true;
  RUXTRAP_STEP("frame: symbol");
  AppendSourceLineSuffix(symbols, pc, true, back);
  RUXTRAP_STEP("frame: source line");
  return true;
}

bool BuildFrameLine(SymbolEngine& symbols) {
  symbols.Ensure();
  if (!AdvanceWalk(symbols)) return false;
  RUXTRAP_STEP("frame: walk");
  // The frame pointer is 0: the walk cannot go on from this frame.
  if (walk.frame.AddrFrame.Offset == 0) return false;
  // Every frame after the first is at a return address.
  return FormatFrameAt(symbols, walk.frame.AddrPC.Offset, walk.frame.Params, walk.frames > 1);
}

}  // namespace

bool FollowsCall(DWORD address) {
  BYTE code[7];
  if (!ReadOwnMemory(address - sizeof(code), code, sizeof(code))) return false;
  auto callThroughPointerAt = [&code](int at) { return code[at] == 0xFF && ((code[at + 1] >> 3) & 7) == 2; };
  return code[2] == 0xE8 || callThroughPointerAt(0) || callThroughPointerAt(1) || callThroughPointerAt(3) ||
         callThroughPointerAt(4) || callThroughPointerAt(5);
}

namespace {

// When the processor faulted executing memory that holds no code (a call
// through a null or stale function pointer, through a destroyed object's
// table, or into a module's data), the walker starts from there and passes
// over the function that made the call: its return address, on top of the
// stack, is the only trace of it. Returns that address, or 0 when the fault
// is no such call.
DWORD CallerOfBadCode(const EXCEPTION_POINTERS* pointers) {
  const CONTEXT* context = pointers->ContextRecord;
  ImageSpan image;
  if (reinterpret_cast<DWORD>(pointers->ExceptionRecord->ExceptionAddress) != context->Eip ||
      IsExecutableMemory(reinterpret_cast<const void*>(context->Eip)))
    return 0;
  DWORD returnAddress = 0;
  if (!ReadOwnMemory(context->Esp, &returnAddress, sizeof(returnAddress)) ||
      !FindImageAt(returnAddress, &image) || !FollowsCall(returnAddress))
    return 0;
  return returnAddress;
}

// The caller's line stands first, in place of the walker's frame at the code
// in no module, whose arguments are the caller's own (its frame pointer is
// still the caller's). The walk goes on from the frame after.
bool BuildCallerLine(SymbolEngine& symbols, DWORD caller) {
  symbols.Ensure();
  const bool walked = AdvanceWalk(symbols);
  DWORD64 params[4] = {};
  if (walked) memcpy(params, walk.frame.Params, sizeof(params));
  return FormatFrameAt(symbols, caller, params, true);
}

// One step of the walk. A fault while the line is built ends this step with
// no line; the walk stays where the walker left it.
const wchar_t* FormatStackFrame(SymbolEngine& symbols) {
  bool line = false;
  if (!RunGuarded([&] { line = BuildFrameLine(symbols); })) return nullptr;
  return line ? ReportBuffer : nullptr;
}

}  // namespace

const wchar_t* FirstStackFrame(EXCEPTION_POINTERS* pointers, SymbolEngine& symbols) {
  EXCEPTION_POINTERS copy;
  if (!CopyExceptionPointers(pointers, &copy)) return nullptr;
  memcpy(&walk.context, copy.ContextRecord, sizeof(CONTEXT));
  SeedStackFrame(&walk.context);
  walk.previousFrame = walk.previousStack = ~DWORD64{0};
  walk.frames = 0;
  walk.ended = false;
  moduleNames.Clear();
  DWORD caller = 0;
  RunGuarded([&caller, &copy] { caller = CallerOfBadCode(&copy); });
  if (caller == 0) return FormatStackFrame(symbols);
  bool line = false;
  if (!RunGuarded([&] { line = BuildCallerLine(symbols, caller); })) return nullptr;
  return line ? ReportBuffer : nullptr;
}

const wchar_t* NextStackFrame(SymbolEngine& symbols) { return FormatStackFrame(symbols); }

}  // namespace ruxtrap
