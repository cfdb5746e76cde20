#include "describe/describe_detail.h"
#include "describe/symbol_engine.h"
#include "probes/loader_lock.h"
#include "probes/probes.h"
#include "runtime_ends/runtime_ends.h"
#include "support/fault_guard.h"
#include "support/seam.h"

namespace ruxtrap {

namespace {

const DescribePlatform kRealPlatform = {
    &GetModuleBaseNameCompat, &::GetModuleHandleW,     &::FormatMessageW, &::SymGetModuleBase64,
    &::SymGetSymFromAddr64,   &::SymGetLineFromAddr64, &::StackWalk64,
};
RUXTRAP_SEAM(DescribePlatform, platform, kRealPlatform);

// The module-wide lookup records, prepared afresh before each lookup.
constexpr int kSymbolRecordBytes = 1024;
constexpr DWORD kMaxSymbolName = 992;
union {
  IMAGEHLP_SYMBOL64 symbol;
  BYTE bytes[kSymbolRecordBytes];
} symbolRecord;
IMAGEHLP_LINE64 lineRecord;


struct CodeName {
  DWORD code;
  const wchar_t* name;
};
const CodeName kCodeNames[] = {
    {0x80000001, L"EXCEPTION_GUARD_PAGE"},
    {0x80000002, L"EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, L"EXCEPTION_BREAKPOINT"},
    {0x80000004, L"EXCEPTION_SINGLE_STEP"},
    {0xC0000005, L"EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006, L"EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000008, L"EXCEPTION_INVALID_HANDLE"},
    {0xC000001D, L"EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, L"EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008C, L"EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, L"EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, L"EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, L"EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, L"EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, L"EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, L"EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FD, L"EXCEPTION_STACK_OVERFLOW"},
    {0xE06D7363, L"Microsoft C++ Exception"},
};

// A name too long for its threshold goes in bare, cut to the room left
// (at most 2046 - position characters and a terminator). The line ends there.
void AppendBare(const char* name, int length) {
  int keep = reportLine.Room() - 2;
  if (keep <= 0) return;
  reportLine.AppendNarrow(name, length < keep ? length : keep);
}

// The name of a formatted suffix goes in whole: a piece of wsprintfW would
// cut it at 1024 characters and lose what follows, the line number included.
void AppendNamePiece(const char* name, int length) {
  reportLine.Append(L" ");
  reportLine.AppendNarrow(name, length);
}

void AppendExceptionName(const EXCEPTION_RECORD& record) {
  const DWORD code = record.ExceptionCode;
  const wchar_t* name = RuntimeEndName(record);
  if (name == nullptr) name = ExceptionCodeName(code);
  if (name != nullptr) {
    reportLine.Append(L"%s", name);
    return;
  }
  // The system's message, as it stands: line ends and inserts included. A
  // report that may not wait for the loader lock, which looking up NTDLL's
  // handle takes, has none.
  DWORD n = 0;
  if (LoaderCallsAllowed())
    n = platform.formatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                platform.getModuleHandleW(L"NTDLL.DLL"), code, 0, ReportBuffer + reportLine.position,
                                reportLine.Room(), nullptr);
  reportLine.Advance(n);
  // Without a name and a message the code itself says what happened.
  if (n == 0) reportLine.Append(L"exception 0x%08X", code);
}

// The module holding address, by the symbol handler; "<UNKNOWN>" without one.
// An address from 0x80000000 up is asked with its sign widened, as Windows'
// symbol handler takes it, then as it is, as Wine's takes it; *known becomes
// the form the handler knew, for the lookups that follow.
void AppendModuleName(HANDLE process, DWORD64 address, DWORD64* known) {
  MakeModuleKnownAt(address);
  DWORD64 base = platform.symGetModuleBase64(process, address);
  const DWORD64 asItIs = static_cast<DWORD>(address);
  if (base == 0 && asItIs != address) {
    base = platform.symGetModuleBase64(process, asItIs);
    if (base != 0) *known = asItIs;
  }
  if (base == 0) {
    reportLine.Append(L"<UNKNOWN>");
    return;
  }
  HMODULE module = reinterpret_cast<HMODULE>(static_cast<DWORD>(base));
  reportLine.Advance(platform.getModuleBaseName(process, module, ReportBuffer + reportLine.position,
                                                reportLine.Room()));
}

// Every query of the line runs under a guard of its own: a damaged heap, which
// the symbol handler's lookups need, costs only the parts that need it, and
// the exception's name and address still make the line.
void BuildExceptionLine(EXCEPTION_POINTERS* pointers) {
  EnsureSymbolEngine();
  HANDLE process = GetCurrentProcess();
  reportLine.Start();
  reportLine.AppendGuarded(
      [process] { reportLine.Advance(platform.getModuleBaseName(process, nullptr, ReportBuffer, kReportBufferChars)); });
  reportLine.Append(L" caused an ");
  // An unreadable record faults here, outside the parts' guards: no line.
  const EXCEPTION_RECORD record = *pointers->ExceptionRecord;
  reportLine.AppendGuarded([&record] { AppendExceptionName(record); });
  reportLine.Append(L" in module ");
  // Addresses from 0x80000000 up widen with their sign, as the symbol handler takes them.
  const DWORD64 address = static_cast<DWORD64>(static_cast<LONG64>(reinterpret_cast<LONG>(record.ExceptionAddress)));
  DWORD64 known = address;
  if (!reportLine.AppendGuarded([process, address, &known] { AppendModuleName(process, address, &known); }))
    reportLine.Append(L"<UNKNOWN>");
  reportLine.Append(L" at %04X:%08X", SegmentSelector(pointers->ContextRecord->SegCs),
                    reinterpret_cast<DWORD>(record.ExceptionAddress));
  reportLine.AppendGuarded([known] {
    if (AppendSymbolSuffix(known, true)) AppendSourceLineSuffix(known, true);
  });
}

}  // namespace

const DescribePlatform& DescribeCalls() { return platform; }
const DescribePlatform& RealDescribePlatform() { return kRealPlatform; }
#ifdef RUXTRAP_TEST_SEAMS
DescribePlatform& TheDescribePlatform() { return platform; }
#endif

const wchar_t* ExceptionCodeName(DWORD code) {
  for (const CodeName& row : kCodeNames)
    if (row.code == code) return row.name;
  return nullptr;
}

namespace {

// The symbol at address into symbolRecord; false when there is none.
bool LookUpSymbol(DWORD64 address, bool frameAddress, DWORD64* displacement) {
  MakeModuleKnownAt(address);
  memset(&symbolRecord, 0, sizeof(symbolRecord));
  symbolRecord.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbolRecord.symbol.MaxNameLength = kMaxSymbolName;
  if (frameAddress) symbolRecord.symbol.Address = address;
  *displacement = 0;
  return platform.symGetSymFromAddr64(GetCurrentProcess(), address, displacement, &symbolRecord.symbol) == 1;
}

}  // namespace

// A function's first byte is no return address into it: the call was the
// last instruction of whatever lies before, named or not.
DWORD ReturnAddressBias(DWORD64 returnAddress) {
  DWORD64 displacement = 0;
  return LookUpSymbol(returnAddress, true, &displacement) && displacement == 0 ? 1 : 0;
}

bool AppendSymbolSuffix(DWORD64 address, bool comma, bool frameAddress, DWORD back) {
  DWORD64 displacement = 0;
  if (!LookUpSymbol(address - back, frameAddress, &displacement)) return false;
  displacement += back;
  symbolRecord.bytes[kSymbolRecordBytes - 1] = 0;  // the name always ends inside the record
  if (comma) reportLine.Append(L",");
  const char* name = symbolRecord.symbol.Name;
  int length = lstrlenA(name);
  if (length > 1486 - reportLine.position) {
    AppendBare(name, length);
    return false;
  }
  // " %S()+%04d byte(s)", or " %S " when the displacement is 0.
  AppendNamePiece(name, length);
  if (displacement != 0)
    reportLine.Append(L"()+%04d byte(s)", static_cast<DWORD>(displacement));
  else
    reportLine.Append(L" ");
  return true;
}

bool AppendSourceLineSuffix(DWORD64 address, bool comma, DWORD back) {
  MakeModuleKnownAt(address - back);
  memset(&lineRecord, 0, sizeof(lineRecord));
  lineRecord.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
  DWORD displacement = 0;
  if (platform.symGetLineFromAddr64(GetCurrentProcess(), address - back, &displacement, &lineRecord) != 1) return false;
  displacement += back;
  if (comma) reportLine.Append(L",");
  const char* file = lineRecord.FileName != nullptr ? lineRecord.FileName : "";
  int length = lstrlenA(file);
  if (length > 1738 - reportLine.position) {
    AppendBare(file, length);
    return false;
  }
  // " %S, line %04d+%04d byte(s)", or " %S, line %04d" when the displacement is 0.
  AppendNamePiece(file, length);
  if (displacement != 0)
    reportLine.Append(L", line %04d+%04d byte(s)", lineRecord.LineNumber, displacement);
  else
    reportLine.Append(L", line %04d", lineRecord.LineNumber);
  return false;
}

const wchar_t* DescribeException(EXCEPTION_POINTERS* pointers) {
  EXCEPTION_POINTERS copy;
  if (!CopyExceptionPointers(pointers, &copy)) return nullptr;
  if (!RunGuarded([&copy] { BuildExceptionLine(&copy); })) return nullptr;
  return ReportBuffer;
}

}  // namespace ruxtrap
