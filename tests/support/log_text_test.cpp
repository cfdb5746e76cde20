#include "support/log_text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/crash_run.h"

namespace ruxtrap {
namespace {

std::string Convert(const std::wstring& text) {
  char out[256];
  int n = WideToLogText(text.c_str(), static_cast<int>(text.size()), out, sizeof(out));
  return std::string(out, n);
}

TEST(WideToLogText, ReplacesUnrepresentableCharactersAndKeepsTheRest) {
  ASSERT_EQ(1252u, GetACP()) << "the prefix's ANSI code page";
  EXPECT_EQ("abc", Convert(L"abc"));
  EXPECT_EQ("caf\xe9", Convert(L"caf\u00e9"));  // in code page 1252
  EXPECT_EQ("C:\\??\\??\\x.dll tail\n", Convert(L"C:\\\u041f\u0440\\\u4e2d\u6587\\x.dll tail\n"));
  EXPECT_EQ("", Convert(L""));
}

TEST(WideToLogText, CutsToTheCapacity) {
  std::wstring longText(1000, L'x');
  char out[16];
  memset(out, 'Z', sizeof(out));
  int n = WideToLogText(longText.c_str(), 1000, out, sizeof(out));
  EXPECT_LT(n, 16);
  EXPECT_EQ('\0', out[n]);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = ruxtrap_test::BinFolder() + L"\\log_text_test.txt"; }
  void TearDown() override { DeleteFileW(path_.c_str()); }
  std::string WriteAndRead(void (*write)(HANDLE)) {
    HANDLE f = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    write(f);
    CloseHandle(f);
    std::string bytes;
    ruxtrap_test::ReadWholeFile(path_, &bytes);
    return bytes;
  }
  std::wstring path_;
};

TEST_F(LogFileTest, WideLineWithUnrepresentableTextIsWrittenWhole) {
  std::string bytes = WriteAndRead([](HANDLE f) {
    WriteWide(f, L"0x%08X\t%s\n", 0x400000u, L"C:\\\u041f\u0443\u0442\u044c\\\u6587\u5b57.dll");
    WriteWide(f, L"next %d\n", 7);
  });
  EXPECT_EQ("0x00400000\tC:\\????\\??.dll\r\nnext 7\r\n", bytes);
}

TEST_F(LogFileTest, FormatsFollowTheWindowsRuntime) {
  std::string bytes = WriteAndRead([](HANDLE f) {
    WriteWide(f, L"%s|%S|%c|%04X\n", L"wide", "narrow", L'c', 0x1bu);
    WriteNarrow(f, "[Phys Memory]:\t%dM, Avail[%dM]\n", 4096, 12);
  });
  EXPECT_EQ("wide|narrow|c|001B\r\n[Phys Memory]:\t4096M, Avail[12M]\r\n", bytes);
}

TEST_F(LogFileTest, OverlongLineIsCutNotOverrun) {
  static std::wstring huge(10000, L'w');
  std::string bytes = WriteAndRead([](HANDLE f) {
    WriteWide(f, L"%s", huge.c_str());
    WriteWide(f, L"|after\n");
  });
  ASSERT_GT(bytes.size(), 4000u);
  EXPECT_LT(bytes.size(), 10000u);
  EXPECT_EQ(std::string(bytes.size() - 8, 'w') + "|after\r\n", bytes);
}

}  // namespace
}  // namespace ruxtrap
