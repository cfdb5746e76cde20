// Inside the describe routines: the line being built in the ReportBuffer, the
// symbol and source-line suffixes shared by the summary and the frame lines,
// and the platform calls they make, gathered so a test can answer for the
// symbol handler.
#pragma once

#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include "describe/describe.h"
#include "describe/symbol_engine.h"
#include "probes/memory.h"

#include "support/fault_guard.h"

namespace ruxtrap {

struct DescribePlatform {
  DWORD(WINAPI* getModuleBaseName)(HANDLE, HMODULE, wchar_t*, DWORD);
  decltype(&::GetModuleHandleW) getModuleHandleW;
  decltype(&::FormatMessageW) formatMessageW;
  decltype(&::SymGetModuleBase64) symGetModuleBase64;
  decltype(&::SymGetSymFromAddr64) symGetSymFromAddr64;
  decltype(&::SymGetLineFromAddr64) symGetLineFromAddr64;
  decltype(&::StackWalk64) stackWalk64;
};
// The calls the describe routines make (see support/seam.h).
const DescribePlatform& DescribeCalls();
const DescribePlatform& RealDescribePlatform();
#ifdef RUXTRAP_TEST_SEAMS
DescribePlatform& TheDescribePlatform();
#endif

// The line in the ReportBuffer: position counts the characters written. Every
// piece is cut to the room left, so the line and its terminator always stay
// inside the buffer.
struct ReportLine {
  int position = 0;

  void Start();
  int Room() const { return kReportBufferChars - position; }
  // wsprintfW's rules (a piece of at most 1024 characters), cut to the room.
  void Append(const wchar_t* format, ...);
  // Narrow text in the ANSI code page, whole, cut only by the room left.
  void AppendNarrow(const char* text, int length);
  // Moves the position over text that a platform call wrote at the position
  // and reported as count characters; keeps it inside the buffer.
  void Advance(DWORD count);
  // Runs part, which appends to the line, under a fault guard: a part that
  // faults (a query that needs the damaged heap) leaves nothing of itself.
  template <class Part>
  bool AppendGuarded(Part&& part);
  void CutTo(int at);
};
extern ReportLine reportLine;

template <class Part>
bool ReportLine::AppendGuarded(Part&& part) {
  const int start = position;
  if (RunGuarded(part)) return true;
  CutTo(start);
  return false;
}

// The symbol and source-line suffixes of an address, appended to reportLine.
// comma puts a "," in front. frameAddress: the symbol record's Address is set
// to the address looked up before the lookup (frame lines); the summary line
// leaves it 0. back: the lookups are made that many bytes before address,
// and the offsets shown are address's own (see ReturnAddressBias). Each
// returns true when the line may go on, false when it is complete.
bool AppendSymbolSuffix(SymbolEngine& symbols, DWORD64 address, bool comma, bool frameAddress = false,
                        DWORD back = 0);
bool AppendSourceLineSuffix(SymbolEngine& symbols, DWORD64 address, bool comma, DWORD back = 0);

// How far before a return address its frame's lookups are made: 1 where the
// address is the very first byte of a function, as after a call to a
// function that never returns (abort, a throw) placed last in its caller,
// whose return address is the next function's start; 0 otherwise. Code
// before that start without a symbol of its own is then named by nothing.
DWORD ReturnAddressBias(SymbolEngine& symbols, DWORD64 returnAddress);

// Whether the code just before address is a call instruction: the forms
// that call through a pointer (FF /2, with 0, 1 or 4 bytes of displacement
// and an optional SIB byte) or to a fixed place (E8 and 4 bytes). False when
// those bytes cannot be read.
bool FollowsCall(DWORD address);

// The exception pointers a describe routine was given, copied; false when
// they cannot be read (the routine then has no line).
inline bool CopyExceptionPointers(const EXCEPTION_POINTERS* pointers, EXCEPTION_POINTERS* copy) {
  return ReadOwnMemory(reinterpret_cast<DWORD>(pointers), copy, sizeof(*copy));
}

// How deep a walk goes at most: far beyond any real call chain, so a broken
// frame chain cannot keep the report going.
constexpr int kMaxStackFrames = 10000;

}  // namespace ruxtrap
