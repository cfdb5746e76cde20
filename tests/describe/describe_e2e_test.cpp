// The describe lines of real crashes of the crash host.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

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
    EXPECT_LT(r.eip, function + 64) << "EIP is the faulting store in WriteThroughNullPointer";
    DWORD base = run.facts["stackBase"], limit = run.facts["stackLimit"];
    EXPECT_GE(r.esp, limit);
    EXPECT_LT(r.esp, base) << "ESP lies on the faulting thread's stack";
    EXPECT_GE(r.ebp, r.esp);
    EXPECT_LT(r.ebp, base);
    EXPECT_EQ(0x23u, r.cs) << "Wine's 32-bit code selector";
  }
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Hex8(DWORD value) {
  char text[16];
  sprintf(text, "%08lX", value);
  return text;
}

TEST(SummaryEndToEnd, NamesProgramExceptionModuleFunctionAndLine) {
  CrashRun run = RunCrashHost(L"chain");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  std::string summary = SummaryLine(run.log);
  EXPECT_EQ(0u, summary.find("crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module crash_host.exe at 0023:"))
      << summary;
  EXPECT_TRUE(Contains(summary, ", ChainInner()+")) << summary;
  char line[48];
  sprintf(line, "\\hosts\\faults.cpp, line %04lu", run.facts["chainFaultLine"]);
  EXPECT_TRUE(Contains(summary, line)) << summary << " should name " << line;
  // The summary's address is the one the register block shows.
  DWORD eip = 0;
  ASSERT_TRUE(ReadHexAfter(run.log, "EIP", &eip));
  EXPECT_TRUE(Contains(summary, " at 0023:" + Hex8(eip) + ",")) << summary;
}

TEST(SummaryEndToEnd, FaultInALibraryNamesTheLibrary) {
  CrashRun run = RunCrashHost(L"dll");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  std::string summary = SummaryLine(run.log);
  EXPECT_EQ(0u, summary.find("crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module crashlib.dll at 0023:"))
      << summary;
  EXPECT_TRUE(Contains(summary, ", CrashInLibrary()+")) << summary;
  EXPECT_TRUE(Contains(summary, "crashlib.cpp, line ")) << summary;
}

// Wine's NTDLL has no message table: the code itself names the exception.
// A raised exception's context carries garbage above Wine's 16-bit
// selectors, which the lines leave out.
TEST(SummaryEndToEnd, CodeWithoutNameAndWithoutSystemMessage) {
  CrashRun run = RunCrashHost(L"raise E0001234");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  const std::string summary = SummaryLine(run.log);
  EXPECT_EQ(0u, summary.find("crash_host.exe caused an exception 0xE0001234 in module kernelbase.dll at 0023:"))
      << summary;
  EXPECT_TRUE(Contains(run.log, "\r\nCS=0023   DS=002B  SS=002B  ES=002B   FS=006B  GS=0063\r\n")) << run.log;
  for (const std::string& frame : CallStackLines(run.log)) EXPECT_EQ(0u, frame.find("0023:")) << frame;
}

TEST(CallStackEndToEnd, ListsTheChainInnermostFirstWithEveryDetail) {
  CrashRun run = RunCrashHost(L"chain");
  std::vector<std::string> lines = CallStackLines(run.log);
  ASSERT_GE(lines.size(), 5u) << run.log;
  const struct {
    const char* function;
    const char* source;
  } chain[] = {{"ChainInner()", "faults.cpp"},
               {"ChainMiddle()", "faults.cpp"},
               {"ChainOuter()", "faults.cpp"},
               {"Run()", "host.cpp"},
               {"wmain()", "crash_host.cpp"}};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_EQ(0u, lines[i].find("0023:"));
    EXPECT_EQ(" (0x", lines[i].substr(13, 4)) << "parameters";
    EXPECT_TRUE(Contains(lines[i], ") crash_host.exe, ")) << "module";
    EXPECT_TRUE(Contains(lines[i], std::string(", ") + chain[i].function + "+")) << "symbol";
    EXPECT_TRUE(Contains(lines[i], std::string("\\hosts\\") + chain[i].source + ", line ")) << "source line";
  }
  DWORD eip = 0;
  ReadHexAfter(run.log, "EIP", &eip);
  EXPECT_EQ("0023:" + Hex8(eip), lines[0].substr(0, 13)) << "the first frame is the faulting instruction";
}

TEST(CallStackEndToEnd, DeepStackListsEveryFrame) {
  CrashRun run = RunCrashHost(L"deep 200");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  std::vector<std::string> lines = CallStackLines(run.log);
  int recursion = 0;
  for (const std::string& line : lines) recursion += Contains(line, ", Recurse()+") ? 1 : 0;
  EXPECT_EQ(200, recursion);
  EXPECT_TRUE(Contains(lines.at(0), "WriteThroughNullPointer()"));
}

// A large program: 300 more DLLs loaded (over 350 modules in all), and a
// fault whose stack passes through two of them. Every frame is named, with
// its module, function and source line, as in a small program, and the
// module table lists every module the process has.
TEST(CallStackEndToEnd, ManyModulesLoadedEveryFrameNamedEveryModuleListed) {
  CrashRun run = RunCrashHost(L"--load-many 300 many-chain 17 299");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  std::string problem;
  EXPECT_EQ(1, CountWholeReports(run.log, &problem)) << problem;
  const std::vector<std::string> lines = CallStackLines(run.log);
  ASSERT_GE(lines.size(), 8u) << run.log;
  struct Frame {
    const char* module;
    const char* function;
    const char* source;
  } frames[] = {
      {"crash_host.exe", "WriteThroughNullPointer()", "host.cpp"},
      {"crash_host.exe", "FaultHop()", "modules.cpp"},
      {"many_299.dll", "CallThrough()", "many_lib.cpp"},
      {"crash_host.exe", "SecondHop()", "modules.cpp"},
      {"many_017.dll", "CallThrough()", "many_lib.cpp"},
      {"crash_host.exe", "CrashThroughMany()", "modules.cpp"},
      {"crash_host.exe", "Run()", "host.cpp"},
      {"crash_host.exe", "wmain()", "crash_host.cpp"},
  };
  for (size_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_TRUE(Contains(lines[i], std::string(") ") + frames[i].module + ", " + frames[i].function + "+"));
    EXPECT_TRUE(Contains(lines[i], std::string("\\hosts\\") + frames[i].source + ", line "));
  }
  EXPECT_EQ(300u, run.facts["manyLoaded"]);
  std::string notListedOnce;
  for (int copy = 1; copy <= 300; ++copy) {
    char row[40];
    sprintf(row, "\\many\\many_%03d.dll\r\n", copy);
    if (CountOf(run.log, row) != 1) notListedOnce += row;
  }
  EXPECT_EQ("", notListedOnce) << "module table rows";
}

// Code the symbol handler does not find the usual way keeps its frames and
// the walk goes on past them: a library whose headers were erased in memory
// (its bounds come from the loader's list), a library whose file was renamed
// after it was loaded (known by its bounds alone), a thunk made at run
// time (a line of address and arguments), and code without a name.
TEST(CallStackEndToEnd, UnusualCodeKeepsItsFramesAndTheWalkGoesOn) {
  CrashRun headless = RunCrashHost(L"dll-without-headers");
  EXPECT_EQ(0u, SummaryLine(headless.log).find("crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "
                                               "crashlib.dll at 0023:"))
      << SummaryLine(headless.log);
  std::vector<std::string> lines = CallStackLines(headless.log);
  ASSERT_GE(lines.size(), 3u) << headless.log;
  EXPECT_TRUE(Contains(lines[0], ") crashlib.dll, CrashInLibrary()+")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], ") crash_host.exe, CrashInLibraryWithoutHeaders()+")) << lines[1];

  CrashRun renamed = RunCrashHost(L"renamed-library");
  lines = CallStackLines(renamed.log);
  ASSERT_GE(lines.size(), 5u) << renamed.log;
  EXPECT_TRUE(Contains(lines[1], ", FaultHop()+")) << lines[1];
  EXPECT_TRUE(Contains(lines[2], ") ruxtrap-renamed-")) << lines[2];
  EXPECT_TRUE(Contains(lines[3], ", CrashThroughRenamedLibrary()+")) << lines[3];
  EXPECT_TRUE(Contains(lines[4], ", Run()+")) << lines[4];

  CrashRun made = RunCrashHost(L"made-code");
  lines = CallStackLines(made.log);
  ASSERT_GE(lines.size(), 4u) << made.log;
  EXPECT_TRUE(Contains(lines[0], ", WriteThroughNullPointer()+")) << lines[0];
  EXPECT_EQ(59u, lines[1].size()) << "address and arguments only: " << lines[1];
  EXPECT_EQ(')', lines[1].back()) << lines[1];
  EXPECT_TRUE(Contains(lines[2], ", CallsThroughMadeCode()+")) << lines[2];
  EXPECT_TRUE(Contains(lines[3], ", Run()+")) << lines[3];

  // Its last call never returns, and its return address is the first byte
  // of the named function after it: the frame is named by its module only.
  CrashRun unnamed = RunCrashHost(L"unnamed-code");
  ASSERT_EQ(unnamed.facts["unnamedCallReturn"], unnamed.facts["namedAfterUnnamed"]) << "laid out as the host means";
  lines = CallStackLines(unnamed.log);
  ASSERT_GE(lines.size(), 3u) << unnamed.log;
  EXPECT_TRUE(Contains(lines[1], ", FaultFromUnnamedCode()+")) << lines[1];
  EXPECT_TRUE(Contains(lines[2], ") crash_host.exe")) << lines[2];
  EXPECT_EQ(std::string::npos, lines[2].find(',')) << "no symbol, no source line: " << lines[2];
}

// A library loaded from 2 GB up: its addresses have their top bit set, which
// the summary line's lookups widen with their sign.
TEST(SummaryEndToEnd, FaultInALibraryLoadedFromTwoGigabytesUp) {
  CrashHostOptions options;
  options.program = L"crash_host_laa.exe";
  CrashRun run = RunCrashHost(L"dll-named crashlib_high.dll", options);
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  const std::string summary = SummaryLine(run.log);
  EXPECT_EQ(0u, summary.find("crash_host_laa.exe caused an EXCEPTION_ACCESS_VIOLATION in module crashlib_high.dll "
                             "at 0023:9"))
      << summary;
  EXPECT_TRUE(Contains(summary, ", CrashInLibrary()+")) << summary;
  EXPECT_TRUE(Contains(summary, "crashlib.cpp, line ")) << summary;
}

TEST(CallStackEndToEnd, BrokenFrameChainsEndWithAReport) {
  for (const wchar_t* kind : {L"bad-ebp", L"loop-ebp"}) {
    SCOPED_TRACE(kind);
    CrashRun run = RunCrashHost(kind);
    ASSERT_TRUE(run.finished) << "the walk must not hang the crashing process";
    EXPECT_EQ(kCrashExitCode, run.exitCode);
    EXPECT_EQ("\r\n\r\n\r\n", run.log.substr(run.log.size() - 6));
    EXPECT_LT(CallStackLines(run.log).size(), 10u) << "no endless repetition of one frame";
  }
}

}  // namespace
}  // namespace ruxtrap_test
