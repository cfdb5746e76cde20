// Whether a return address follows a call instruction: on the return
// addresses of real calls, and on each form of call in bytes of code.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include "describe/describe_detail.h"

namespace ruxtrap {
namespace {

__attribute__((noinline)) DWORD OwnReturnAddress() {
  const DWORD address = reinterpret_cast<DWORD>(__builtin_return_address(0));
  __asm__ volatile("");
  return address;
}

DWORD (*volatile throughPointer)() = &OwnReturnAddress;

TEST(FollowsCall, TheReturnAddressesOfRealCalls) {
  EXPECT_TRUE(FollowsCall(OwnReturnAddress())) << "a direct call";
  EXPECT_TRUE(FollowsCall(throughPointer())) << "a call through a pointer";
}

// Bytes of code: no-ops, then the instruction, which ends where the return
// address would be.
struct Code {
  BYTE bytes[16];
  DWORD End() const { return reinterpret_cast<DWORD>(bytes) + sizeof(bytes); }
};

Code EndingWith(std::initializer_list<BYTE> instruction) {
  Code code;
  memset(code.bytes, 0x90, sizeof(code.bytes));
  memcpy(code.bytes + sizeof(code.bytes) - instruction.size(), instruction.begin(), instruction.size());
  return code;
}

TEST(FollowsCall, EveryFormOfCall) {
  const struct {
    const char* what;
    std::initializer_list<BYTE> instruction;
  } calls[] = {
      {"call rel32", {0xE8, 0x10, 0x20, 0x30, 0x40}},
      {"call eax", {0xFF, 0xD0}},
      {"call [eax]", {0xFF, 0x10}},
      {"call [ebp+8]", {0xFF, 0x55, 0x08}},
      {"call [esp]", {0xFF, 0x14, 0x24}},
      {"call [esp+4]", {0xFF, 0x54, 0x24, 0x04}},
      {"call [abs32]", {0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}},
      {"call [eax+disp32]", {0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}},
      {"call [esp+disp32]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}},
  };
  for (const auto& call : calls) EXPECT_TRUE(FollowsCall(EndingWith(call.instruction).End())) << call.what;
  const struct {
    const char* what;
    std::initializer_list<BYTE> instruction;
  } others[] = {
      {"no-ops", {0x90}},
      {"ret", {0xC3}},
      {"jmp eax", {0xFF, 0xE0}},
      {"push [ebp+8]", {0xFF, 0x75, 0x08}},
      {"jmp rel32", {0xE9, 0x10, 0x20, 0x30, 0x40}},
  };
  for (const auto& other : others) EXPECT_FALSE(FollowsCall(EndingWith(other.instruction).End())) << other.what;
}

TEST(FollowsCall, UnreadableBytesAreNoCall) {
  BYTE* pages = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, pages);
  pages[4096] = 0xE8;
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages, 4096, PAGE_NOACCESS, &old));
  EXPECT_FALSE(FollowsCall(reinterpret_cast<DWORD>(pages) + 4096 + 5)) << "the call's first bytes unreadable";
  EXPECT_FALSE(FollowsCall(0)) << "address 0";
  VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace
}  // namespace ruxtrap
