// The lines that describe the exception: the summary line, the register
// block and the call-stack lines. Each routine writes its line into the shared
// ReportBuffer from the first character and returns the buffer, or null when
// it has no line; the caller writes the line out before calling the next.
// The routines run under the report lock only.
#pragma once

#include <windows.h>

namespace ruxtrap {

constexpr int kReportBufferChars = 2048;
// The one module-wide buffer of the describe routines.
extern wchar_t ReportBuffer[kReportBufferChars];

// The three-line register block of the faulting context.
const wchar_t* DescribeRegisters(EXCEPTION_POINTERS* pointers);

// The register block of a context, formatted into out (at least 256 chars).
// Returns the characters written.
int FormatRegisters(const CONTEXT* context, wchar_t* out);

}  // namespace ruxtrap
