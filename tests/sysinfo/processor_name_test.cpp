// The processor line and the registry reads behind it, on the prefix's real
// registry, under a test key of our own.
#include <gtest/gtest.h>

#include <string>

#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {
namespace {

const char kTestKey[] = "Software\\RuxtrapTest\\CentralProcessor\\0";

class ProcessorNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\RuxtrapTest");
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, kTestKey, &key_));
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\RuxtrapTest");
  }
  void Set(const char* name, const std::string& value) {
    RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }
  std::string Line(const char* path = kTestKey) {
    char out[kProcessorLineBytes];
    BuildProcessorLine(HKEY_CURRENT_USER, path, out);
    return out;
  }
  HKEY key_ = nullptr;
};

TEST_F(ProcessorNameTest, NameIsTrimmedOfBlanksOnly) {
  Set("ProcessorNameString", "   Intel(R) Core(TM)  CPU   ");
  EXPECT_EQ("[Processor]:    Intel(R) Core(TM)  CPU\n", Line());
  Set("ProcessorNameString", "\t AMD \t");
  EXPECT_EQ("[Processor]:    \t AMD \t\n", Line()) << "tabs stay";
  Set("ProcessorNameString", "    ");
  EXPECT_EQ("[Processor]:        \n", Line()) << "an all-blank name is not empty and stays as it is";
}

TEST_F(ProcessorNameTest, VendorAndIdentifierWhenThereIsNoName) {
  Set("VendorIdentifier", "  GenuineIntel ");
  Set("Identifier", " x86 Family 6 Model 15 Stepping 11 ");
  EXPECT_EQ("[Processor]:    GenuineIntel x86 Family 6 Model 15 Stepping 11\n", Line());
  Set("ProcessorNameString", "");
  EXPECT_EQ("[Processor]:    GenuineIntel x86 Family 6 Model 15 Stepping 11\n", Line()) << "an empty name";
  RegDeleteValueA(key_, "Identifier");
  EXPECT_EQ("[Processor]:    GenuineIntel \n", Line());
}

TEST_F(ProcessorNameTest, MissingKeyGivesFiveBlanks) {
  EXPECT_EQ("[Processor]:     \n", Line("Software\\RuxtrapTest\\NoSuchKey"));
}

TEST_F(ProcessorNameTest, ValuesUpTo259BytesAreReadWhole) {
  std::string fits(258, 'n');  // 258 characters and the zero: 259 bytes
  Set("ProcessorNameString", fits);
  EXPECT_EQ("[Processor]:    " + fits + "\n", Line());
  Set("ProcessorNameString", fits + "n");  // 260 bytes: a failed read, so the fallback
  Set("VendorIdentifier", "Vendor");
  EXPECT_EQ("[Processor]:    Vendor \n", Line());
}

TEST_F(ProcessorNameTest, QueryStringLeavesOrEmptiesTheOutput) {
  char out[kRegistryValueBytes] = "before";
  RegistryKey missing(HKEY_CURRENT_USER, "Software\\RuxtrapTest\\NoSuchKey");
  EXPECT_FALSE(missing.QueryString("Identifier", out));
  EXPECT_STREQ("before", out) << "no key: unchanged";
  RegistryKey key(HKEY_CURRENT_USER, kTestKey);
  EXPECT_FALSE(key.QueryString("", out));
  EXPECT_STREQ("before", out) << "empty name: unchanged";
  EXPECT_FALSE(key.QueryString("Absent", out));
  EXPECT_STREQ("", out) << "failed read on an open key: emptied";
  DWORD number = 0x00636261;  // any type is accepted: "abc"
  RegSetValueExA(key_, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
  EXPECT_TRUE(key.QueryString("Number", out));
  EXPECT_STREQ("abc", out);
  RegistryKey empty(HKEY_CURRENT_USER, "");
  EXPECT_FALSE(empty.QueryString("Identifier", out));
}

TEST(TrimSpaces, BlanksOnly) {
  char a[] = "  x y  ";
  EXPECT_STREQ("x y", TrimSpaces(a));
  char b[] = "   ";
  EXPECT_STREQ("   ", TrimSpaces(b));
  char c[] = "";
  EXPECT_STREQ("", TrimSpaces(c));
  char d[] = " \tx\t ";
  EXPECT_STREQ("\tx\t", TrimSpaces(d));
  char e[] = "  left";
  EXPECT_STREQ("left", TrimLeft(e));
  char f[] = "right  ";
  EXPECT_STREQ("right", TrimRight(f));
}

}  // namespace
}  // namespace ruxtrap
