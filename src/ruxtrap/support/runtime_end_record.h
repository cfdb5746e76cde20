// How a report of a C runtime's own end (abort, a pure virtual call, an
// invalid parameter; see runtime_ends/) is told apart from an exception of
// the same code: a mark in its record that no other exception has there,
// and which end it was.
#pragma once

#include <windows.h>

namespace ruxtrap {

// The codes a runtime end is reported with: a fatal application exit
// (abort, a pure virtual call) and an invalid C runtime parameter.
constexpr DWORD kFatalAppExitCode = 0x40000015;
constexpr DWORD kInvalidRuntimeParameterCode = 0xC0000417;

constexpr ULONG_PTR kRuntimeEndMark = 0x52555845;
enum RuntimeEnd : ULONG_PTR { kAbort = 1, kPureCall = 2, kInvalidParameter = 3 };

// ExceptionInformation[0] holds the mark, [1] the end.
constexpr DWORD kRuntimeEndParameters = 2;

}  // namespace ruxtrap
