#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "describe/describe.h"

namespace ruxtrap {
namespace {

CONTEXT ExampleContext() {
  CONTEXT c = {};
  c.Eax = 1;
  c.Ebx = 0x00ABCDEF;
  c.Ecx = 0;
  c.Edx = 0xFFFFFFFF;
  c.Esi = 2;
  c.Edi = 3;
  c.Ebp = 4;
  c.Esp = 0x0012FF80;
  c.Eip = 0x00401000;
  c.EFlags = 0x00010246;
  c.SegCs = 0x1B;
  c.SegDs = 0x23;
  c.SegSs = 0x23;
  c.SegEs = 0x23;
  c.SegFs = 0x3B;
  c.SegGs = 0;
  return c;
}

TEST(DescribeRegisters, ExampleContext) {
  CONTEXT c = ExampleContext();
  EXCEPTION_RECORD r = {};
  EXCEPTION_POINTERS p = {&r, &c};
  const wchar_t* text = DescribeRegisters(&p);
  ASSERT_EQ(ReportBuffer, text);
  EXPECT_EQ(std::wstring(L"EAX=00000001  EBX=00ABCDEF  ECX=00000000  EDX=FFFFFFFF  ESI=00000002\n"
                         L"EDI=00000003  EBP=00000004  ESP=0012FF80  EIP=00401000  FLG=00010246\n"
                         L"CS=001B   DS=0023  SS=0023  ES=0023   FS=003B  GS=0000"),
            text);
}

TEST(DescribeRegisters, AllZeroContextIs192Characters) {
  CONTEXT c = {};
  wchar_t out[256];
  int n = FormatRegisters(&c, out);
  EXPECT_EQ(192, n);
  EXPECT_EQ(192u, wcslen(out));
  std::wstring text(out);
  EXPECT_EQ(68u, text.find(L'\n'));
  EXPECT_EQ(68u + 1 + 68, text.rfind(L'\n'));
  EXPECT_EQ(std::wstring::npos, text.find(L"\n", 192 - 1)) << "no line end after the third line";
  EXPECT_EQ(std::wstring(L"CS=0000   DS=0000  SS=0000  ES=0000   FS=0000  GS=0000"), text.substr(138));
}

// A selector is 16 bits; what the context member holds above them is not
// part of it.
TEST(DescribeRegisters, SegmentsPrintTheirSixteenBitSelector) {
  CONTEXT c = ExampleContext();
  c.SegCs = 0x1001B;
  c.SegGs = 0xFFFFFFFF;
  c.SegEs = 0x14002B;
  wchar_t out[256];
  int n = FormatRegisters(&c, out);
  EXPECT_EQ(std::wstring(L"CS=001B   DS=0023  SS=0023  ES=002B   FS=003B  GS=FFFF"), std::wstring(out).substr(138));
  EXPECT_EQ(192, n);
}

TEST(DescribeRegisters, NullOrUnreadablePointersLeaveTheBufferAlone) {
  wcscpy(ReportBuffer, L"kept");
  EXPECT_EQ(nullptr, DescribeRegisters(nullptr));
  EXPECT_EQ(nullptr, DescribeRegisters(reinterpret_cast<EXCEPTION_POINTERS*>(0x10)));
  // The record's last byte on a page nobody can read.
  void* page = VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  DWORD old;
  VirtualProtect(static_cast<char*>(page) + 4096, 4096, PAGE_NOACCESS, &old);
  auto* straddling = reinterpret_cast<EXCEPTION_POINTERS*>(static_cast<char*>(page) + 4096 - 4);
  EXPECT_EQ(nullptr, DescribeRegisters(straddling));
  VirtualFree(page, 0, MEM_RELEASE);
  EXPECT_EQ(std::wstring(L"kept"), ReportBuffer);
}

}  // namespace
}  // namespace ruxtrap
