// Reads a minidump file on its own, from the format's published layout: the
// tests' check of what the platform's dump writer wrote, independent of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ruxtrap_test {

struct Minidump {
  ULONG64 flags = 0;  // the MINIDUMP_TYPE it was written as
  bool hasException = false;
  DWORD exceptionThread = 0;
  DWORD exceptionCode = 0;
  DWORD faultEip = 0;
  DWORD faultEsp = 0;
  struct Thread {
    DWORD id;
    ULONG64 stackStart;
    ULONG64 stackSize;
  };
  std::vector<Thread> threads;
  std::vector<std::string> modules;  // full paths, narrowed
  bool hasFullMemory = false;        // a Memory64List stream
  // Every range of memory the dump holds: its address, and where its bytes lie in the file.
  struct Range {
    ULONG64 address;
    ULONG64 size;
    ULONG64 fileOffset;
  };
  std::vector<Range> memory;
  std::string bytes;

  const Thread* FindThread(DWORD id) const;
  bool HasModuleEnding(const std::string& tail) const;
  // count bytes of the process's memory at address, if the dump holds them.
  bool ReadMemory(ULONG64 address, size_t count, std::string* out) const;
};

// False, with the reason, when the file is no minidump or a stream lies
// beyond its end.
bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* problem);

}  // namespace ruxtrap_test
