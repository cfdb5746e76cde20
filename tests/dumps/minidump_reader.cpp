#include "dumps/minidump_reader.h"
// windows.h first
#include <dbghelp.h>
#include <string.h>

#include "common/crash_run.h"

namespace ruxtrap_test {

namespace {

constexpr ULONG32 kMinidumpSignature = 0x504D444D;  // "MDMP"

// A structure at offset of the file; false when it lies past the end.
template <class T>
bool At(const std::string& bytes, ULONG64 offset, T* out) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  memcpy(out, bytes.data() + offset, sizeof(T));
  return true;
}

bool ReadException(const std::string& b, RVA at, Minidump* dump) {
  MINIDUMP_EXCEPTION_STREAM stream;
  CONTEXT context;
  if (!At(b, at, &stream) || !At(b, stream.ThreadContext.Rva, &context)) return false;
  dump->exceptionThread = stream.ThreadId;
  dump->exceptionCode = stream.ExceptionRecord.ExceptionCode;
  dump->faultEip = context.Eip;
  dump->faultEsp = context.Esp;
  return true;
}

bool ReadThreads(const std::string& b, RVA at, Minidump* dump) {
  ULONG32 count = 0;
  MINIDUMP_THREAD thread;
  for (ULONG32 i = 0; At(b, at, &count) && i < count; ++i) {
    if (!At(b, at + 4 + i * sizeof(thread), &thread)) return false;
    const auto& s = thread.Stack;
    dump->threads.push_back({thread.ThreadId, {s.StartOfMemoryRange, s.Memory.DataSize, s.Memory.Rva}});
    dump->memory.push_back(dump->threads.back().stack);
  }
  return At(b, at, &count);
}

bool ReadModules(const std::string& b, RVA at, Minidump* dump) {
  ULONG32 count = 0, nameBytes = 0;
  MINIDUMP_MODULE module;
  for (ULONG32 i = 0; At(b, at, &count) && i < count; ++i) {
    if (!At(b, at + 4 + i * sizeof(module), &module) || !At(b, module.ModuleNameRva, &nameBytes) ||
        module.ModuleNameRva + 4 + nameBytes > b.size())
      return false;
    std::wstring name(nameBytes / 2, L'\0');
    memcpy(&name[0], b.data() + module.ModuleNameRva + 4, name.size() * 2);
    dump->modules.push_back(Narrow(name));
  }
  return At(b, at, &count);
}

bool ReadFullMemory(const std::string& b, RVA at, Minidump* dump) {
  MINIDUMP_MEMORY64_LIST list;
  MINIDUMP_MEMORY_DESCRIPTOR64 range;
  if (!At(b, at, &list)) return false;
  dump->hasFullMemory = true;
  ULONG64 offset = list.BaseRva;
  for (ULONG64 i = 0; i < list.NumberOfMemoryRanges; ++i, offset += range.DataSize) {
    if (!At(b, at + sizeof(list) + i * sizeof(range), &range)) return false;
    dump->memory.push_back({range.StartOfMemoryRange, range.DataSize, offset});
  }
  return true;
}

bool ReadStream(const MINIDUMP_DIRECTORY& entry, Minidump* dump) {
  switch (entry.StreamType) {
    case ExceptionStream: return ReadException(dump->bytes, entry.Location.Rva, dump);
    case ThreadListStream: return ReadThreads(dump->bytes, entry.Location.Rva, dump);
    case ModuleListStream: return ReadModules(dump->bytes, entry.Location.Rva, dump);
    case Memory64ListStream: return ReadFullMemory(dump->bytes, entry.Location.Rva, dump);
    default: return true;
  }
}

}  // namespace

const Minidump::Thread* Minidump::FindThread(DWORD id) const {
  for (const Thread& t : threads)
    if (t.id == id) return &t;
  return nullptr;
}

bool Minidump::HasModuleEnding(const std::string& tail) const {
  for (const std::string& m : modules)
    if (m.size() >= tail.size() && _stricmp(m.c_str() + m.size() - tail.size(), tail.c_str()) == 0) return true;
  return false;
}

bool Minidump::ReadMemory(ULONG64 address, size_t count, std::string* out) const {
  for (const Range& r : memory) {
    if (address < r.address || address + count > r.address + r.size) continue;
    ULONG64 at = r.fileOffset + (address - r.address);
    if (at + count > bytes.size()) return false;
    *out = bytes.substr(static_cast<size_t>(at), count);
    return true;
  }
  return false;
}

bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* problem) {
  *dump = Minidump();
  MINIDUMP_HEADER header;
  if (!ReadWholeFile(path, &dump->bytes)) return *problem = "no file", false;
  if (!At(dump->bytes, 0, &header) || header.Signature != kMinidumpSignature)
    return *problem = "no minidump header", false;
  dump->flags = header.Flags;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    if (!At(dump->bytes, header.StreamDirectoryRva + i * sizeof(entry), &entry) || !ReadStream(entry, dump))
      return *problem = "a stream lies past the end of the file", false;
  }
  return true;
}

}  // namespace ruxtrap_test
