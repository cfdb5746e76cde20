#include "describe/describe_detail.h"
#include "describe/symbol_engine.h"
#include "probes/probes.h"
#include "support/fault_guard.h"
#include "support/optional_calls.h"
#include "support/seam.h"

namespace ruxtrap {

namespace {

// The symbol handler's calls, through the optional calls: without DBGHELP
// each finds nothing.
DWORD64 WINAPI BoundSymGetModuleBase64(HANDLE process, DWORD64 address) {
  auto call = Optional().symGetModuleBase64;
  return call != nullptr ? call(process, address) : 0;
}

BOOL WINAPI BoundSymGetSymFromAddr64(HANDLE process, DWORD64 address, DWORD64* displacement,
                                     IMAGEHLP_SYMBOL64* symbol) {
  auto call = Optional().symGetSymFromAddr64;
  return call != nullptr ? call(process, address, displacement, symbol) : FALSE;
}

BOOL WINAPI BoundSymGetLineFromAddr64(HANDLE process, DWORD64 address, DWORD* displacement, IMAGEHLP_LINE64* line) {
  auto call = Optional().symGetLineFromAddr64;
  return call != nullptr ? call(process, address, displacement, line) : FALSE;
}

BOOL WINAPI BoundStackWalk64(DWORD machine, HANDLE process, HANDLE thread, STACKFRAME64* frame, PVOID context,
                             PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                             PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                             PGET_MODULE_BASE_ROUTINE64 moduleBase, PTRANSLATE_ADDRESS_ROUTINE64 translateAddress) {
  auto call = Optional().stackWalk64;
  return call != nullptr && call(machine, process, thread, frame, context, readMemory, functionTableAccess, moduleBase,
                                 translateAddress);
}

const DescribePlatform kRealPlatform = {
    &GetModuleBaseNameCompat,  &::GetModuleHandleW,         &::FormatMessageW,  &BoundSymGetModuleBase64,
    &BoundSymGetSymFromAddr64, &BoundSymGetLineFromAddr64, &BoundStackWalk64,
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


// Where a suffix's name still goes in formatted: a name longer than the
// threshold less the line's position goes in bare. Either leaves room in
// the buffer for what the formatted piece adds around the name.
constexpr int kSymbolNameThreshold = 1486;
constexpr int kFileNameThreshold = 1738;

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

void AppendExceptionName(SymbolEngine& symbols, const EXCEPTION_RECORD& record) {
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
  if (symbols.Hold().CallsAllowed())
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
void AppendModuleName(SymbolEngine& symbols, HANDLE process, DWORD64 address, DWORD64* known) {
  symbols.MakeModuleKnownAt(address);
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
void BuildExceptionLine(EXCEPTION_POINTERS* pointers, SymbolEngine& symbols) {
  symbols.Ensure();
  HANDLE process = GetCurrentProcess();
  reportLine.Start();
  reportLine.AppendGuarded(
      [process] { reportLine.Advance(platform.getModuleBaseName(process, nullptr, ReportBuffer, kReportBufferChars)); });
  reportLine.Append(L" caused an ");
  // An unreadable record faults here, outside the parts' guards: no line.
  const EXCEPTION_RECORD record = *pointers->ExceptionRecord;
  reportLine.AppendGuarded([&symbols, &record] { AppendExceptionName(symbols, record); });
  reportLine.Append(L" in module ");
  // Addresses from 0x80000000 up widen with their sign, as the symbol handler takes them.
  const DWORD64 address = static_cast<DWORD64>(static_cast<LONG64>(reinterpret_cast<LONG>(record.ExceptionAddress)));
  DWORD64 known = address;
  if (!reportLine.AppendGuarded(
          [&symbols, process, address, &known] { AppendModuleName(symbols, process, address, &known); }))
    reportLine.Append(L"<UNKNOWN>");
  reportLine.Append(L" at %04X:%08X", SegmentSelector(pointers->ContextRecord->SegCs),
                    reinterpret_cast<DWORD>(record.ExceptionAddress));
  reportLine.AppendGuarded([&symbols, known] {
    if (AppendSymbolSuffix(symbols, known, true)) AppendSourceLineSuffix(symbols, known, true);
  });
}

}  // namespace

const DescribePlatform& DescribeCalls() { return platform; }
const DescribePlatform& RealDescribePlatform() { return kRealPlatform; }
#ifdef RUXTRAP_TEST_SEAMS
DescribePlatform& TheDescribePlatform() { return platform; }
#endif

namespace {

// The symbol at address into symbolRecord; false when there is none.
bool LookUpSymbol(SymbolEngine& symbols, DWORD64 address, bool frameAddress, DWORD64* displacement) {
  symbols.MakeModuleKnownAt(address);
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
DWORD ReturnAddressBias(SymbolEngine& symbols, DWORD64 returnAddress) {
  DWORD64 displacement = 0;
  return LookUpSymbol(symbols, returnAddress, true, &displacement) && displacement == 0 ? 1 : 0;
}

bool AppendSymbolSuffix(SymbolEngine& symbols, DWORD64 address, bool comma, bool frameAddress, DWORD back) {
  DWORD64 displacement = 0;
  if (!LookUpSymbol(symbols, address - back, frameAddress, &displacement)) return false;
  displacement += back;
  symbolRecord.bytes[kSymbolRecordBytes - 1] = 0;  // the name always ends inside the record
  if (comma) reportLine.Append(L",");
  const char* name = symbolRecord.symbol.Name;
  int length = lstrlenA(name);
  if (length > kSymbolNameThreshold - reportLine.position) {
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

bool AppendSourceLineSuffix(SymbolEngine& symbols, DWORD64 address, bool comma, DWORD back) {
  symbols.MakeModuleKnownAt(address - back);
  memset(&lineRecord, 0, sizeof(lineRecord));
  lineRecord.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
  DWORD displacement = 0;
  if (platform.symGetLineFromAddr64(GetCurrentProcess(), address - back, &displacement, &lineRecord) != 1) return false;
  displacement += back;
  if (comma) reportLine.Append(L",");
  const char* file = lineRecord.FileName != nullptr ? lineRecord.FileName : "";
  int length = lstrlenA(file);
  if (length > kFileNameThreshold - reportLine.position) {
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

const wchar_t* DescribeException(EXCEPTION_POINTERS* pointers, SymbolEngine& symbols) {
  EXCEPTION_POINTERS copy;
  if (!CopyExceptionPointers(pointers, &copy)) return nullptr;
  if (!RunGuarded([&copy, &symbols] { BuildExceptionLine(&copy, symbols); })) return nullptr;
  return ReportBuffer;
}

}  // namespace ruxtrap
