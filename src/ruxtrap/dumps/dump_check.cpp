#include "dumps/dump_check.h"
// windows.h first
#include <dbghelp.h>

namespace ruxtrap {

namespace {

constexpr ULONG32 kDumpSignature = 0x504D444D;  // "MDMP"
// Far more streams than any writer makes.
constexpr ULONG32 kMostStreams = 1024;
// Memory descriptors read at a time.
constexpr ULONG32 kDescriptorsAtOnce = 256;

bool ReadAt(HANDLE file, ULONG64 offset, void* out, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  return ReadFile(file, out, size, &read, &at) && read == size;
}

bool Within(ULONG64 offset, ULONG64 size, ULONG64 fileSize) { return offset <= fileSize && size <= fileSize - offset; }

// MINIDUMP_MEMORY_LIST: a count, then descriptors that each point at their
// bytes.
bool MemoryListIsWhole(HANDLE file, ULONG64 at, ULONG64 fileSize) {
  ULONG32 count = 0;
  if (!ReadAt(file, at, &count, sizeof(count))) return false;
  static MINIDUMP_MEMORY_DESCRIPTOR descriptors[kDescriptorsAtOnce];
  for (ULONG32 done = 0; done < count;) {
    const ULONG32 now = count - done < kDescriptorsAtOnce ? count - done : kDescriptorsAtOnce;
    if (!ReadAt(file, at + sizeof(count) + ULONG64{done} * sizeof(descriptors[0]), descriptors,
                now * sizeof(descriptors[0])))
      return false;
    for (ULONG32 i = 0; i < now; ++i)
      if (!Within(descriptors[i].Memory.Rva, descriptors[i].Memory.DataSize, fileSize)) return false;
    done += now;
  }
  return true;
}

// MINIDUMP_MEMORY64_LIST: every range's bytes follow one another from a
// base offset.
bool Memory64ListIsWhole(HANDLE file, ULONG64 at, ULONG64 fileSize) {
  ULONG64 head[2];  // NumberOfMemoryRanges, BaseRva
  if (!ReadAt(file, at, head, sizeof(head))) return false;
  static MINIDUMP_MEMORY_DESCRIPTOR64 descriptors[kDescriptorsAtOnce];
  ULONG64 bytes = 0;
  for (ULONG64 done = 0; done < head[0];) {
    const ULONG64 left = head[0] - done;
    const DWORD now = static_cast<DWORD>(left < kDescriptorsAtOnce ? left : kDescriptorsAtOnce);
    if (!ReadAt(file, at + sizeof(head) + done * sizeof(descriptors[0]), descriptors, now * sizeof(descriptors[0])))
      return false;
    for (DWORD i = 0; i < now; ++i) bytes += descriptors[i].DataSize;
    done += now;
  }
  return Within(head[1], bytes, fileSize);
}

}  // namespace

bool IsWholeDump(HANDLE file) {
  LARGE_INTEGER size;
  MINIDUMP_HEADER header;
  if (!GetFileSizeEx(file, &size) || !ReadAt(file, 0, &header, sizeof(header)) ||
      header.Signature != kDumpSignature || header.NumberOfStreams > kMostStreams)
    return false;
  const ULONG64 fileSize = static_cast<ULONG64>(size.QuadPart);
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    if (!ReadAt(file, header.StreamDirectoryRva + ULONG64{i} * sizeof(entry), &entry, sizeof(entry)) ||
        !Within(entry.Location.Rva, entry.Location.DataSize, fileSize))
      return false;
    if (entry.StreamType == MemoryListStream && !MemoryListIsWhole(file, entry.Location.Rva, fileSize)) return false;
    if (entry.StreamType == Memory64ListStream && !Memory64ListIsWhole(file, entry.Location.Rva, fileSize))
      return false;
  }
  return true;
}

}  // namespace ruxtrap
