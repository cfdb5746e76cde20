#include "probes/memory.h"

#include <string.h>

#include "probes/probes.h"
#include "support/fault_guard.h"

namespace ruxtrap {

namespace {

constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool RegionAt(const void* address, MEMORY_BASIC_INFORMATION* region) {
  return VirtualQuery(address, region, sizeof(*region)) == sizeof(*region) && region->State == MEM_COMMIT &&
         (region->Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0;
}

}  // namespace

// A copy under a fault guard: ReadProcessMemory of the calling process would
// not do, since Wine's reads pages that Windows protects from reading.
bool ReadOwnMemory(DWORD address, void* out, DWORD size) {
  const void* from = reinterpret_cast<const void*>(address);
  return RunGuarded([from, out, size] { memcpy(out, from, size); });
}

namespace {

// The image's size as its headers in memory give it (a program may have
// erased them).
bool ImageSizeFromHeaders(DWORD base, DWORD* size) {
  IMAGE_DOS_HEADER dos;
  if (!ReadOwnMemory(base, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE) return false;
  IMAGE_NT_HEADERS32 nt;
  if (!ReadOwnMemory(base + static_cast<DWORD>(dos.e_lfanew), &nt, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE)
    return false;
  *size = nt.OptionalHeader.SizeOfImage;
  return true;
}

}  // namespace

// The region's allocation base is the image's load address; its size comes
// from the loader's list, else from the image's headers.
bool FindImageAt(DWORD address, ImageSpan* span) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof(region)) == 0 ||
      region.Type != MEM_IMAGE || region.AllocationBase == nullptr)
    return false;
  const DWORD base = reinterpret_cast<DWORD>(region.AllocationBase);
  DWORD size = 0;
  if (!GetModuleSizeCompat(static_cast<HMODULE>(region.AllocationBase), &size) && !ImageSizeFromHeaders(base, &size))
    return false;
  if (address - base >= size) return false;
  *span = {base, size};
  return true;
}

bool IsLoadedCode(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  return address != nullptr && RegionAt(address, &region) && region.Type == MEM_IMAGE &&
         (region.Protect & kExecutable) != 0;
}

bool IsExecutableMemory(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  return address != nullptr && RegionAt(address, &region) && (region.Protect & kExecutable) != 0;
}

// Region by region: the bytes may span several with different protections.
bool IsWritableMemory(const void* address, SIZE_T size) {
  if (address == nullptr) return false;
  const BYTE* at = static_cast<const BYTE*>(address);
  const BYTE* end = at + size;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION region;
    if (!RegionAt(at, &region) || (region.Protect & kWritable) == 0) return false;
    at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
  }
  return true;
}

}  // namespace ruxtrap
