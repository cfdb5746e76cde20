// Reads a minidump file on its own, from the format's published layout: the
// tests' check of what the platform's dump writer wrote, independent of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ruxtrap_test {

struct Minidump {
  ULONG64 flags = 0;  // the MINIDUMP_TYPE it was written as
  DWORD exceptionCode = 0, exceptionThread = 0, faultEip = 0, faultEsp = 0;
  struct Range {
    ULONG64 address, size, fileOffset;
  };
  struct Thread {
    DWORD id;
    Range stack;
  };
  std::vector<Thread> threads;
  std::vector<std::string> modules;  // full paths
  bool hasFullMemory = false;        // a Memory64List stream
  std::vector<Range> memory;         // the thread stacks, and with full memory every range
  std::string bytes;

  const Thread* FindThread(DWORD id) const;
  bool HasModuleEnding(const std::string& tail) const;
  // count bytes of the process's memory at address, if the dump holds them.
  bool ReadMemory(ULONG64 address, size_t count, std::string* out) const;
};

// False, with the reason, when the file is no minidump or a part of it lies
// beyond its end.
bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* problem);

}  // namespace ruxtrap_test
