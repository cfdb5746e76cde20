#include "sysinfo/sysinfo.h"

namespace ruxtrap {

namespace {

// The 9x family: only the minor version and, in the 95 and 98 ranges, the
// first character of the service-pack text tell the releases apart.
const wchar_t* Windows9xName(DWORD minor, wchar_t servicePack) {
  if (minor <= 9) return servicePack == L'B' ? L"95 OSR 2" : L"95";
  if (minor <= 89) return servicePack == L'A' ? L"98 SE" : L"98";
  if (minor == 90) return L"ME";
  return L"";
}

// The NT family: the product type matters only at major version 6.
const wchar_t* WindowsNtName(DWORD major, DWORD minor, BYTE productType) {
  if (major == 4) return L"NT 4.0";
  if (major == 5) {
    if (minor == 0) return L"2000";
    if (minor == 1) return L"XP";
    if (minor == 2) return L"2003";
    return L"";
  }
  if (major == 6) {
    if (productType != VER_NT_WORKSTATION) return L"2008";
    return minor == 0 ? L"Vista" : L"Win7";
  }
  return L"";
}

}  // namespace

const wchar_t* OsVersionName(const OSVERSIONINFOEXW& r) {
  if (r.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return Windows9xName(r.dwMinorVersion, r.szCSDVersion[0]);
  if (r.dwPlatformId == VER_PLATFORM_WIN32_NT)
    return WindowsNtName(r.dwMajorVersion, r.dwMinorVersion, r.wProductType);
  return L"Unknow vesion";
}

}  // namespace ruxtrap
