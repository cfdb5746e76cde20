#include "describe/fake_symbols.h"

namespace ruxtrap {

FakeSymbols fake;

namespace {

DWORD WINAPI FakeBaseName(HANDLE, HMODULE module, wchar_t* out, DWORD size) {
  const std::wstring& name = module == nullptr ? fake.exeName : fake.moduleName;
  if (size == 0) return 0;
  DWORD n = static_cast<DWORD>(name.size()) < size ? static_cast<DWORD>(name.size()) : size - 1;
  memcpy(out, name.data(), n * sizeof(wchar_t));
  out[n] = L'\0';
  return n;
}

HMODULE WINAPI FakeModuleHandle(LPCWSTR) { return reinterpret_cast<HMODULE>(0x7BC00000); }

DWORD WINAPI FakeFormatMessage(DWORD, LPCVOID, DWORD, DWORD, LPWSTR out, DWORD size, va_list*) {
  if (!fake.hasMessage) return 0;
  size_t n = fake.message.size() < size ? fake.message.size() : size - 1;
  memcpy(out, fake.message.data(), n * sizeof(wchar_t));
  out[n] = L'\0';
  return static_cast<DWORD>(n);
}

DWORD64 WINAPI FakeModuleBase(HANDLE, DWORD64 address) {
  fake.moduleBaseQueries.push_back(address);
  return fake.moduleBase;
}

BOOL WINAPI FakeSymFromAddr(HANDLE, DWORD64, PDWORD64 displacement, PIMAGEHLP_SYMBOL64 record) {
  ++fake.symbolLookups;
  fake.symbolRecordAddress = record->Address;
  if (!fake.hasSymbol || record->SizeOfStruct != 32 || record->MaxNameLength != 992) return FALSE;
  // The record holds 1024 bytes; a name may fill what follows the header.
  size_t room = 1024 - offsetof(IMAGEHLP_SYMBOL64, Name) - 1;
  size_t n = fake.symbol.size() < room ? fake.symbol.size() : room;
  memcpy(record->Name, fake.symbol.data(), n);
  record->Name[n] = '\0';
  *displacement = fake.symbolDisplacement;
  return TRUE;
}

BOOL WINAPI FakeLineFromAddr(HANDLE, DWORD64, PDWORD displacement, PIMAGEHLP_LINE64 record) {
  ++fake.lineLookups;
  if (!fake.hasLine || record->SizeOfStruct != 24) return FALSE;
  record->FileName = const_cast<char*>(fake.file.c_str());
  record->LineNumber = fake.line;
  *displacement = fake.lineDisplacement;
  return TRUE;
}

BOOL WINAPI FakeStackWalk(DWORD machine, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID context,
                          PREAD_PROCESS_MEMORY_ROUTINE64 read, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                          PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
  if (machine != IMAGE_FILE_MACHINE_I386 || read == nullptr) return FALSE;
  if (fake.walkerCalls++ == 0) {
    fake.seededFrame = *frame;
    fake.seededContext = *static_cast<CONTEXT*>(context);
  }
  FakeSymbols::Frame f;
  if (fake.endlessDistinctFrames) {
    f = {0x6D31A000, 0x1000u + fake.walkerCalls * 16u, 0x800u + fake.walkerCalls * 16u, {}};
  } else if (fake.nextFrame < fake.frames.size()) {
    f = fake.frames[fake.nextFrame++];
  } else if (fake.repeatLastFrame && !fake.frames.empty()) {
    f = fake.frames.back();
  } else {
    return FALSE;
  }
  frame->AddrPC.Offset = f.pc;
  frame->AddrFrame.Offset = f.frame;
  frame->AddrStack.Offset = f.stack;
  for (int i = 0; i < 4; ++i) frame->Params[i] = f.params[i];
  return TRUE;
}

}  // namespace

FakeSymbolScope::FakeSymbolScope() {
  fake = FakeSymbols();
  TheDescribePlatform() = {&FakeBaseName,    &FakeModuleHandle, &FakeFormatMessage, &FakeModuleBase,
                           &FakeSymFromAddr, &FakeLineFromAddr, &FakeStackWalk};
}

FakeSymbolScope::~FakeSymbolScope() { TheDescribePlatform() = RealDescribePlatform(); }

}  // namespace ruxtrap
