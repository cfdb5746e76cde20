// The system section formatted from made-up values.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/crash_run.h"
#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {
namespace {

const std::string kSep90 = std::string(90, '=') + "\r\n";
const std::string kSep40 = std::string(40, '=') + "\r\n";

std::unique_ptr<SystemFacts> ExampleFacts() {
  auto f = std::make_unique<SystemFacts>();
  *f = {};
  f->startTimeKnown = true;
  f->startTime = {2010, 6, 1, 9, 5, 2, 7};
  f->crashTimeKnown = true;
  f->crashTime = {2010, 6, 1, 9, 5, 3, 7};
  f->processorCount = 4;
  strcpy(f->processorLine, "[Processor]:    Test CPU\n");
  f->memory.dwTotalPhys = 0xFFFFFFFF;       // 4095M: shifted as unsigned
  f->memory.dwAvailPhys = 1048575;          // under 1 MiB: 0M
  f->memory.dwTotalVirtual = 0x7FFE0000;
  f->memory.dwAvailVirtual = 0x40000000;
  f->version.dwPlatformId = 2;
  f->version.dwMajorVersion = 5;
  f->version.dwMinorVersion = 1;
  f->version.dwBuildNumber = 0x80000A28;  // printed whole, not masked
  wcscpy(f->version.szCSDVersion, L"Service Pack 3");
  f->screenWidth = 1280;
  f->screenHeight = 1024;
  f->bitsPerPixel = 32;
  f->directXKnown = true;
  f->directXMajor = 9;
  f->directXMinor = 0;
  f->directXLetter = L'c';
  f->driveCount = 2;
  f->drives[0] = {L"c:\\", 80023715840ull, 12345678848ull};
  f->drives[1] = {L"d:\\", 4294967296ull, 5368709119ull};
  f->moduleCount = 2;
  f->modules[0].handle = reinterpret_cast<HMODULE>(0x400000);
  wcscpy(f->modules[0].path, L"C:\\app\\app.exe");
  f->modules[1].handle = reinterpret_cast<HMODULE>(0x7C800000);
  wcscpy(f->modules[1].path, L"C:\\WINDOWS\\system32\\kernel32.dll");
  return f;
}

std::string Format(const SystemFacts& facts) {
  std::wstring path = ruxtrap_test::BinFolder() + L"\\system_info_test.txt";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  FormatSystemInfo(f, facts);
  CloseHandle(f);
  std::string bytes;
  ruxtrap_test::ReadWholeFile(path, &bytes);
  DeleteFileW(path.c_str());
  return bytes;
}

TEST(SystemInfoFormat, WholeSection) {
  std::string expected = kSep90 +
                         "[Started Time]:\t2010-06-01 09:05:02-007\r\n"
                         "[Crash Time]:\t2010-06-01 09:05:03-007\r\n" +
                         kSep40 + "\t\t\tSystem Infomation\r\n" + kSep40 +
                         "[CPU Nums]:     4\r\n"
                         "[Processor]:    Test CPU\r\n"
                         "[Phys Memory]:\t4095M, Avail[0M]\r\n"
                         "[Virt Memory]:\t2047M, Avail[1024M]\r\n"
                         "[OS Ver]:       Microsoft Windows XP\r\n"
                         "[Build]:        -2147481048\r\n"
                         "[Service pack]: Service Pack 3\r\n"
                         "[Display mode]: 1280 x 1024, 32 bit\r\n"
                         "[DirectX Ver]:  9.0 c\r\n" +
                         kSep40 + "Letter\t\tTotal\t\tFree\r\n" + kSep40 +
                         "c:\\:\t\t76316M\t\t11773M\r\n"
                         "d:\\:\t\t4096M\t\t5119M\r\n" +
                         kSep40 + "\t\t\tAll Modules\r\n" + kSep40 +
                         "0x00400000\tC:\\app\\app.exe\r\n"
                         "0x7C800000\tC:\\WINDOWS\\system32\\kernel32.dll\r\n" +
                         kSep90;
  EXPECT_EQ(expected, Format(*ExampleFacts()));
}

TEST(SystemInfoFormat, FailedDirectXQueryRemovesExactlyOneLine) {
  auto facts = ExampleFacts();
  std::string with = Format(*facts);
  facts->directXKnown = false;
  std::string without = Format(*facts);
  size_t at = with.find("[DirectX Ver]:  9.0 c\r\n");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ(with.substr(0, at) + with.substr(at + 23), without);
}

TEST(SystemInfoFormat, EmptyTablesAndUnknownValues) {
  auto facts = ExampleFacts();
  facts->driveCount = 0;
  facts->moduleCount = 0;
  facts->startTimeKnown = false;
  facts->crashTimeKnown = false;
  facts->version = {};  // GetVersionExW failed
  std::string text = Format(*facts);
  EXPECT_NE(std::string::npos, text.find("Letter\t\tTotal\t\tFree\r\n" + kSep40 + kSep40));
  EXPECT_NE(std::string::npos, text.find("\t\t\tAll Modules\r\n" + kSep40 + kSep90));
  EXPECT_NE(std::string::npos, text.find("[Started Time]:\tunknown\r\n[Crash Time]:\tunknown\r\n"));
  EXPECT_NE(std::string::npos, text.find("[OS Ver]:       Microsoft Windows Unknow vesion\r\n[Build]:        0\r\n"
                                         "[Service pack]: \r\n"));
}

TEST(SystemInfoFormat, OsWithoutShortNameKeepsTheTrailingBlank) {
  auto facts = ExampleFacts();
  facts->version.dwMajorVersion = 10;
  EXPECT_NE(std::string::npos, Format(*facts).find("[OS Ver]:       Microsoft Windows \r\n"));
}

TEST(SystemInfoFormat, UnreadableAndLongestModulePaths) {
  auto facts = ExampleFacts();
  facts->modules[0].path[0] = L'\0';
  std::wstring longest(MAX_PATH - 1, L'p');
  wcscpy(facts->modules[1].path, longest.c_str());
  std::string text = Format(*facts);
  EXPECT_NE(std::string::npos, text.find("0x00400000\t<UNKNOWN>\r\n"));
  EXPECT_NE(std::string::npos, text.find("0x7C800000\t" + std::string(MAX_PATH - 1, 'p') + "\r\n" + kSep90));
}

}  // namespace
}  // namespace ruxtrap
