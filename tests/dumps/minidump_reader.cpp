#include "dumps/minidump_reader.h"
// windows.h first
#include <dbghelp.h>
#include <string.h>

#include "common/crash_run.h"

namespace ruxtrap_test {

namespace {

constexpr ULONG32 kMinidumpSignature = 0x504D444D;  // "MDMP"

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  std::string problem;

  // A structure at offset; false, noting what, when it lies past the end.
  template <class T>
  bool At(ULONG64 offset, T* out, const char* what) {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
      problem = std::string(what) + " lies past the end of the file";
      return false;
    }
    memcpy(out, bytes_.data() + offset, sizeof(T));
    return true;
  }

 private:
  const std::string& bytes_;
};

bool ReadException(Reader& r, RVA at, Minidump* dump) {
  MINIDUMP_EXCEPTION_STREAM stream;
  CONTEXT context;
  if (!r.At(at, &stream, "the exception stream") || !r.At(stream.ThreadContext.Rva, &context, "its context"))
    return false;
  dump->hasException = true;
  dump->exceptionThread = stream.ThreadId;
  dump->exceptionCode = stream.ExceptionRecord.ExceptionCode;
  dump->faultEip = context.Eip;
  dump->faultEsp = context.Esp;
  return true;
}

bool ReadThreads(Reader& r, RVA at, Minidump* dump) {
  ULONG32 count = 0;
  if (!r.At(at, &count, "the thread list")) return false;
  for (ULONG32 i = 0; i < count; ++i) {
    MINIDUMP_THREAD thread;
    if (!r.At(at + 4 + i * sizeof(thread), &thread, "a thread")) return false;
    dump->threads.push_back({thread.ThreadId, thread.Stack.StartOfMemoryRange, thread.Stack.Memory.DataSize});
    dump->memory.push_back({thread.Stack.StartOfMemoryRange, thread.Stack.Memory.DataSize, thread.Stack.Memory.Rva});
  }
  return true;
}

bool ReadModules(Reader& r, RVA at, Minidump* dump) {
  ULONG32 count = 0;
  if (!r.At(at, &count, "the module list")) return false;
  for (ULONG32 i = 0; i < count; ++i) {
    MINIDUMP_MODULE module;
    ULONG32 nameBytes = 0;
    if (!r.At(at + 4 + i * sizeof(module), &module, "a module") || !r.At(module.ModuleNameRva, &nameBytes, "a name"))
      return false;
    std::wstring name(nameBytes / 2, L'\0');
    for (size_t c = 0; c < name.size(); ++c)
      if (!r.At(module.ModuleNameRva + 4 + 2 * c, &name[c], "a name")) return false;
    dump->modules.push_back(Narrow(name));
  }
  return true;
}

bool ReadFullMemory(Reader& r, RVA at, Minidump* dump) {
  MINIDUMP_MEMORY64_LIST list;
  if (!r.At(at, &list, "the full memory list")) return false;
  dump->hasFullMemory = true;
  ULONG64 offset = list.BaseRva;
  for (ULONG64 i = 0; i < list.NumberOfMemoryRanges; ++i) {
    MINIDUMP_MEMORY_DESCRIPTOR64 range;
    if (!r.At(at + sizeof(list) + i * sizeof(range), &range, "a memory range")) return false;
    dump->memory.push_back({range.StartOfMemoryRange, range.DataSize, offset});
    offset += range.DataSize;
  }
  return true;
}

bool ReadStream(Reader& r, const MINIDUMP_DIRECTORY& entry, Minidump* dump) {
  switch (entry.StreamType) {
    case ExceptionStream: return ReadException(r, entry.Location.Rva, dump);
    case ThreadListStream: return ReadThreads(r, entry.Location.Rva, dump);
    case ModuleListStream: return ReadModules(r, entry.Location.Rva, dump);
    case Memory64ListStream: return ReadFullMemory(r, entry.Location.Rva, dump);
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
  for (const Range& range : memory) {
    if (address < range.address || address + count > range.address + range.size) continue;
    ULONG64 at = range.fileOffset + (address - range.address);
    if (at + count > bytes.size()) return false;
    *out = bytes.substr(static_cast<size_t>(at), count);
    return true;
  }
  return false;
}

bool ReadMinidump(const std::wstring& path, Minidump* dump, std::string* problem) {
  *dump = Minidump();
  if (!ReadWholeFile(path, &dump->bytes)) return *problem = "no file", false;
  Reader r(dump->bytes);
  MINIDUMP_HEADER header;
  if (!r.At(0, &header, "the header") || header.Signature != kMinidumpSignature)
    return *problem = "no minidump header", false;
  dump->flags = header.Flags;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    if (!r.At(header.StreamDirectoryRva + i * sizeof(entry), &entry, "the stream directory") ||
        !ReadStream(r, entry, dump))
      return *problem = r.problem, false;
  }
  return true;
}

}  // namespace ruxtrap_test
