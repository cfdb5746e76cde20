#include <gtest/gtest.h>

#include <string>

#include "sysinfo/sysinfo.h"

namespace ruxtrap {
namespace {

std::wstring Name(DWORD platform, DWORD major, DWORD minor, const wchar_t* servicePack = L"", BYTE product = 1) {
  OSVERSIONINFOEXW r = {};
  r.dwOSVersionInfoSize = sizeof(r);
  r.dwPlatformId = platform;
  r.dwMajorVersion = major;
  r.dwMinorVersion = minor;
  wcscpy(r.szCSDVersion, servicePack);
  r.wProductType = product;
  return OsVersionName(r);
}

TEST(OsVersionName, Windows9xFamilyByMinorVersionAndServicePackLetter) {
  EXPECT_EQ(L"95", Name(1, 4, 0));
  EXPECT_EQ(L"95 OSR 2", Name(1, 4, 0, L"B"));
  EXPECT_EQ(L"95", Name(1, 4, 0, L"C"));
  EXPECT_EQ(L"95", Name(1, 4, 9, L"b")) << "case-sensitive";
  EXPECT_EQ(L"95 OSR 2", Name(1, 99, 9, L"B")) << "the major version is never consulted";
  EXPECT_EQ(L"98", Name(1, 4, 10, L"B")) << "B counts only from 0 to 9";
  EXPECT_EQ(L"98 SE", Name(1, 4, 10, L"A"));
  EXPECT_EQ(L"98", Name(1, 4, 10, L" A")) << "only the first character is compared";
  EXPECT_EQ(L"95", Name(1, 4, 9, L"A")) << "A counts only from 10 to 89";
  EXPECT_EQ(L"98 SE", Name(1, 4, 89, L"A"));
  EXPECT_EQ(L"ME", Name(1, 4, 90, L"A"));
  EXPECT_EQ(L"", Name(1, 4, 91));
  EXPECT_EQ(L"", Name(1, 4, 0xFFFFFFFF));
}

TEST(OsVersionName, NtFamily) {
  EXPECT_EQ(L"NT 4.0", Name(2, 4, 0));
  EXPECT_EQ(L"NT 4.0", Name(2, 4, 90, L"A", 3));
  EXPECT_EQ(L"2000", Name(2, 5, 0));
  EXPECT_EQ(L"XP", Name(2, 5, 1));
  EXPECT_EQ(L"2003", Name(2, 5, 2, L"", 1)) << "the product type counts only at major 6";
  EXPECT_EQ(L"", Name(2, 5, 3));
  EXPECT_EQ(L"Vista", Name(2, 6, 0));
  for (DWORD minor : {1u, 2u, 3u, 0xFFFFFFFFu}) EXPECT_EQ(L"Win7", Name(2, 6, minor));
  EXPECT_EQ(L"2008", Name(2, 6, 0, L"", 3));
  EXPECT_EQ(L"2008", Name(2, 6, 1, L"", 2));
  EXPECT_EQ(L"2008", Name(2, 6, 1, L"", 0));
  for (DWORD major : {0u, 1u, 2u, 3u, 7u, 10u, 0xFFFFFFFFu}) EXPECT_EQ(L"", Name(2, major, 0)) << major;
}

TEST(OsVersionName, OtherPlatformsAreUnknown) {
  for (DWORD platform : {0u, 3u, 0xFFFFFFFFu}) {
    EXPECT_EQ(L"Unknow vesion", Name(platform, 5, 1));
    EXPECT_EQ(L"Unknow vesion", Name(platform, 0, 0));
  }
}

}  // namespace
}  // namespace ruxtrap
