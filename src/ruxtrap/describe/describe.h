// The lines that describe the exception: the summary line, the register
// block and the call-stack lines. Each routine writes its line into the shared
// ReportBuffer from the first character and returns the buffer, or null when
// it has no line; the caller writes the line out before calling the next.
// The routines run under the report lock only.
#pragma once

#include <windows.h>

#include "describe/symbol_engine.h"

namespace ruxtrap {

constexpr int kReportBufferChars = 2048;
// The one module-wide buffer of the describe routines.
extern wchar_t ReportBuffer[kReportBufferChars];

// Sets up what the line formatting needs, so a report does not wait for it.
// Called at installation.
void PrepareReportLines();

// The summary line: program, exception, module, address, symbol, source line.
const wchar_t* DescribeException(EXCEPTION_POINTERS* pointers, SymbolEngine& symbols);

// The constant name of an exception code, or null for a code without one.
const wchar_t* ExceptionCodeName(DWORD code);

// The summary line's name of a report a runtime end made ("STATUS_FATAL_APP_EXIT
// (abort)", ...), or null for any other exception record.
const wchar_t* RuntimeEndName(const EXCEPTION_RECORD& record);

// Starts a walk of the faulting thread's stack at the exception's context and
// returns the first frame's line, or null (the walk can still go on). A
// frame's line holds its address, the four values the walker takes for its
// arguments, its module, and its symbol and source line where known.
const wchar_t* FirstStackFrame(EXCEPTION_POINTERS* pointers, SymbolEngine& symbols);
// The next frame's line of the walk in progress, or null when there is none.
const wchar_t* NextStackFrame(SymbolEngine& symbols);

// A segment register's selector: its low 16 bits. The context keeps each in
// 32 bits, and the upper half may hold garbage (Wine leaves some there for
// raised exceptions).
inline DWORD SegmentSelector(DWORD segment) { return segment & 0xFFFF; }

// The three-line register block of the faulting context.
const wchar_t* DescribeRegisters(EXCEPTION_POINTERS* pointers);

// The register block of a context, formatted into out (at least 256 chars).
// Returns the characters written.
int FormatRegisters(const CONTEXT* context, wchar_t* out);

}  // namespace ruxtrap
