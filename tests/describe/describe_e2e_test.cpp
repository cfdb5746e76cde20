// The describe lines of real crashes of the crash host.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

struct Registers {
  DWORD eip = 0, esp = 0, ebp = 0, cs = 0;
};

// The register block: three lines starting "EAX=", "EDI=" and "CS=".
bool FindRegisterBlock(const std::string& log, Registers* r) {
  size_t at = log.find("EAX=");
  if (at == std::string::npos || (at != 0 && log[at - 1] != '\n')) return false;
  std::string block = log.substr(at, 68 + 2 + 68 + 2 + 54);
  std::vector<std::string> lines = SplitLines(block);
  if (lines.size() != 3 || lines[1].compare(0, 4, "EDI=") != 0 || lines[2].compare(0, 3, "CS=") != 0)
    return false;
  return ReadHexAfter(block, "EIP", &r->eip) && ReadHexAfter(block, "ESP", &r->esp) &&
         ReadHexAfter(block, "EBP", &r->ebp) && ReadHexAfter(block, "CS", &r->cs);
}

TEST(RegistersEndToEnd, BlockHoldsTheFaultingThreadsRegisters) {
  for (const wchar_t* kind : {L"av", L"thread"}) {
    SCOPED_TRACE(kind);
    CrashRun run = RunCrashHost(kind);
    ASSERT_EQ(kCrashExitCode, run.exitCode);
    Registers r;
    ASSERT_TRUE(FindRegisterBlock(run.log, &r)) << run.log;
    DWORD function = run.facts["WriteThroughNullPointer"];
    EXPECT_GE(r.eip, function);
    EXPECT_LT(r.eip, function + 32) << "EIP is the faulting store in WriteThroughNullPointer";
    DWORD base = run.facts["stackBase"], limit = run.facts["stackLimit"];
    EXPECT_GE(r.esp, limit);
    EXPECT_LT(r.esp, base) << "ESP lies on the faulting thread's stack";
    EXPECT_GE(r.ebp, r.esp);
    EXPECT_LT(r.ebp, base);
    EXPECT_EQ(0x23u, r.cs) << "Wine's 32-bit code selector";
  }
}

}  // namespace
}  // namespace ruxtrap_test
