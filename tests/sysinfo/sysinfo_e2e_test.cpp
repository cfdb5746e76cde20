// The system section of real crash reports, checked against what the test
// learns from the system itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"
#include "sysinfo/sysinfo.h"

namespace ruxtrap_test {
namespace {

const std::string kSep90 = std::string(90, '=');
const std::string kSep40 = std::string(40, '=');

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The section's lines: from the first sep90 to the second, both included.
std::vector<std::string> Section(const std::string& log) {
  std::vector<std::string> lines = SplitLines(log), section;
  for (const std::string& line : lines) {
    section.push_back(line);
    if (line == kSep90 && section.size() > 1) break;
  }
  return section;
}

std::string LineAfter(const std::vector<std::string>& lines, const std::string& label) {
  for (const std::string& line : lines)
    if (StartsWith(line, label)) return line.substr(label.size());
  return "<missing>";
}

std::string ExpectedProcessorName() {
  char value[260] = {};
  DWORD size = sizeof(value) - 1;
  HKEY key;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", &key) != 0) return "";
  RegQueryValueExA(key, "ProcessorNameString", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  std::string name = value;
  name.erase(0, name.find_first_not_of(' '));
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

std::string OsLineFor(CrashRun& run) {
  OSVERSIONINFOEXW r = {};
  r.dwPlatformId = run.facts["osPlatform"];
  r.dwMajorVersion = run.facts["osMajor"];
  r.dwMinorVersion = run.facts["osMinor"];
  r.wProductType = static_cast<BYTE>(run.facts["osProduct"]);
  r.szCSDVersion[0] = static_cast<wchar_t>(run.facts["osServicePack0"]);
  return "Microsoft Windows " + Narrow(ruxtrap::OsVersionName(r));
}

TEST(SystemSectionEndToEnd, OpensTheReportAndAgreesWithTheSystem) {
  CrashRun run = RunCrashHost(L"av");
  ASSERT_EQ(kCrashExitCode, run.exitCode);
  std::vector<std::string> all = SplitLines(run.log), s = Section(run.log);
  ASSERT_GE(s.size(), 22u);
  EXPECT_EQ(kSep90, s[0]);
  EXPECT_TRUE(StartsWith(s[1], "[Started Time]:\t20")) << s[1];
  EXPECT_TRUE(StartsWith(s[2], "[Crash Time]:\t20")) << s[2];
  EXPECT_EQ(s[1].size() - 2, s[2].size()) << "same time layout";
  EXPECT_EQ("\t\t\tSystem Infomation", s[4]);
  EXPECT_TRUE(StartsWith(all[s.size()], "crash_host.exe caused an ")) << "the summary follows the section";

  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(std::to_string(info.dwNumberOfProcessors), LineAfter(s, "[CPU Nums]:     "));
  EXPECT_EQ(ExpectedProcessorName(), LineAfter(s, "[Processor]:    "));
  MEMORYSTATUS memory = {};
  GlobalMemoryStatus(&memory);
  EXPECT_TRUE(StartsWith(LineAfter(s, "[Phys Memory]:\t"), std::to_string(memory.dwTotalPhys >> 20) + "M, Avail["));
  EXPECT_EQ(OsLineFor(run), LineAfter(s, "[OS Ver]:       "));
  EXPECT_EQ(std::to_string(run.facts["osBuild"]), LineAfter(s, "[Build]:        "));
  EXPECT_EQ("9.0 c", LineAfter(s, "[DirectX Ver]:  "));
}

TEST(SystemSectionEndToEnd, DriveTableMatchesTheVolumes) {
  CrashRun run = RunCrashHost(L"av");
  std::vector<std::string> s = Section(run.log);
  std::vector<std::string> rows;
  for (const std::string& line : s)
    if (line.size() > 4 && line[1] == ':' && line[2] == '\\' && line[3] == ':') rows.push_back(line);
  std::vector<std::string> expected;
  for (wchar_t letter = L'c'; letter <= L'z'; ++letter) {
    wchar_t root[4] = {letter, L':', L'\\', 0};
    ULARGE_INTEGER caller, total, free;
    if (!GetDiskFreeSpaceExW(root, &caller, &total, &free)) continue;
    expected.push_back(std::string(1, static_cast<char>(letter)) + ":\\:\t\t" +
                       std::to_string(total.QuadPart / 1048576) + "M\t\t");
  }
  ASSERT_EQ(expected.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(StartsWith(rows[i], expected[i])) << rows[i];
}

TEST(SystemSectionEndToEnd, ModuleTableListsTheExeAndTheLibraryAtTheirAddresses) {
  CrashRun run = RunCrashHost(L"dll");
  std::vector<std::string> s = Section(run.log);
  auto row = [&](DWORD address) {
    char prefix[16];
    sprintf(prefix, "0x%08lX\t", address);
    return LineAfter(s, prefix);
  };
  std::string bin = Narrow(BinFolder());
  EXPECT_EQ(bin + "\\crash_host.exe", row(run.facts["exe"]));
  EXPECT_EQ(bin + "\\Ruxtrap.dll", row(run.facts["ruxtrap"]));
  EXPECT_EQ(bin + "\\crashlib.dll", row(run.facts["crashlib"]));
}

// Runs the crash host with the Windows version Wine reports to it alone.
CrashRun RunAsVersion(const char* version) {
  const char* key = "Software\\Wine\\AppDefaults\\crash_host.exe";
  HKEY k;
  RegCreateKeyA(HKEY_CURRENT_USER, key, &k);
  RegSetValueExA(k, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), lstrlenA(version) + 1);
  RegCloseKey(k);
  CrashRun run = RunCrashHost(L"av");
  RegDeleteTreeA(HKEY_CURRENT_USER, key);
  return run;
}

TEST(SystemSectionEndToEnd, OsLineFollowsTheVersionWineReports) {
  struct Case {
    const char* version;
    const char* name;
  } cases[] = {{"winxp", "Microsoft Windows XP"}, {"win2k", "Microsoft Windows 2000"},
               {"win98", "Microsoft Windows 98"}, {"win2003", "Microsoft Windows 2003"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    CrashRun run = RunAsVersion(c.version);
    ASSERT_EQ(kCrashExitCode, run.exitCode);
    std::vector<std::string> s = Section(run.log);
    EXPECT_EQ(c.name, LineAfter(s, "[OS Ver]:       "));
    EXPECT_EQ(OsLineFor(run), LineAfter(s, "[OS Ver]:       "));
    EXPECT_NE("<missing>", LineAfter(s, "0x00400000\t")) << "modules are listed on this version too";
  }
}

}  // namespace
}  // namespace ruxtrap_test
