// The release as its users take it: programs built against the installed
// package and against the unpacked archive crash under Wine and get their
// report, and the shipped DLL carries its version. The programs are built by
// the set-up tests of tests/packaging/CMakeLists.txt into package-test/.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

// A folder of the build's package-test/, in full.
std::wstring PackageTestPath(const std::wstring& relative) {
  std::wstring path = BinFolder() + L"\\..\\package-test\\" + relative;
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

std::string SummaryLine(const std::string& log) {
  for (const std::string& line : SplitLines(log))
    if (line.find(" caused an ") != std::string::npos) return line;
  return "";
}

// The lines under the call-stack heading, up to the first empty one.
std::vector<std::string> FrameLines(const std::string& log) {
  std::string heading = std::string(kSep40) + "\t\t\tCall Stack\r\n" + kSep40;
  size_t start = log.find(heading);
  std::vector<std::string> frames;
  if (start == std::string::npos) return frames;
  for (const std::string& line : SplitLines(log.substr(start + heading.size()))) {
    if (line.empty()) break;
    frames.push_back(line);
  }
  return frames;
}

struct Place {
  const char* function;
  const char* file;
  int line;
};

// "Function()+NNNN byte(s), <folder>\file, line NNNN", as the summary line and
// the frame lines name a place.
void ExpectNamesPlace(const std::string& text, const Place& place) {
  char fileAndLine[MAX_PATH];
  snprintf(fileAndLine, sizeof(fileAndLine), "\\%s, line %04d", place.file, place.line);
  EXPECT_NE(std::string::npos, text.find(std::string(", ") + place.function + "()+")) << text;
  EXPECT_NE(std::string::npos, text.find(fileAndLine)) << text << "\nexpected " << fileAndLine;
}

CrashRun CrashProgramIn(const std::wstring& folder, const std::wstring& program) {
  CrashHostOptions options;
  options.folder = folder;
  options.program = program;
  return RunCrashHost(L"", options);
}

TEST(FindPackageConsumer, CrashReportNamesItsFunctionAndLine) {
  std::wstring folder = PackageTestPath(L"consumer-build");
  CrashRun run = CrashProgramIn(folder, L"consumer.exe");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ASSERT_TRUE(run.logExists);
  std::string summary = SummaryLine(run.log);
  EXPECT_EQ(0u, summary.find("consumer.exe caused an EXCEPTION_ACCESS_VIOLATION in module consumer.exe at 0023:"))
      << summary;
  const Place fault = {"CrashThroughImportLibrary", "consumer.cpp", CONSUMER_FAULT_LINE};
  ExpectNamesPlace(summary, fault);
  std::vector<std::string> frames = FrameLines(run.log);
  ASSERT_GE(frames.size(), 2u) << run.log;
  ExpectNamesPlace(frames[0], fault);
  EXPECT_NE(std::string::npos, frames[1].find("consumer.exe, main()+")) << frames[1];
  // The report came from the package's stripped DLL, copied beside the program.
  EXPECT_NE(std::string::npos, run.log.find(Narrow(folder + L"\\Ruxtrap.dll\r\n"))) << run.log;
}

struct PdbHost {
  const wchar_t* name;
  Place fault;
};

// Both hosts carry CodeView information in a PDB only. Wine's stack walker
// stops after the first frame of such a program, so only that frame is read.
TEST(PdbHosts, ReportNamesFunctionFileAndLineFromThePdb) {
  const PdbHost hosts[] = {{L"pdb_host", {"CrashInPdbHost", "pdb_host.c", PDB_HOST_FAULT_LINE}},
                           {L"msvc_host", {"CrashInMsvcHost", "msvc_host.c", MSVC_HOST_FAULT_LINE}}};
  for (const PdbHost& host : hosts) {
    SCOPED_TRACE(Narrow(host.name));
    std::wstring folder = PackageTestPath(std::wstring(L"pdb-hosts\\") + host.name);
    std::wstring program = std::wstring(host.name) + L".exe";
    std::string exe = Narrow(program);
    CrashRun run = CrashProgramIn(folder, program);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(kCrashExitCode, run.exitCode);
    std::string summary = SummaryLine(run.log);
    EXPECT_EQ(0u, summary.find(exe + " caused an EXCEPTION_ACCESS_VIOLATION in module " + exe + " at 0023:"))
        << summary;
    ExpectNamesPlace(summary, host.fault);
    std::vector<std::string> frames = FrameLines(run.log);
    ASSERT_GE(frames.size(), 1u) << run.log;
    EXPECT_NE(std::string::npos, frames[0].find(exe + ", ")) << frames[0];
    ExpectNamesPlace(frames[0], host.fault);

    // The names come from the PDB: without it the same crash has none.
    std::wstring pdb = folder + L"\\" + host.name + L".pdb";
    std::wstring aside = pdb + L".aside";
    ASSERT_TRUE(MoveFileExW(pdb.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING));
    CrashRun bare = CrashProgramIn(folder, program);
    MoveFileExW(aside.c_str(), pdb.c_str(), MOVEFILE_REPLACE_EXISTING);
    EXPECT_EQ(kCrashExitCode, bare.exitCode);
    std::string bareSummary = SummaryLine(bare.log);
    EXPECT_EQ(0u, bareSummary.find(exe + " caused an EXCEPTION_ACCESS_VIOLATION")) << bareSummary;
    EXPECT_EQ(std::string::npos, bareSummary.find(host.fault.function)) << bareSummary;
    EXPECT_EQ(std::string::npos, bareSummary.find(host.fault.file)) << bareSummary;
  }
}

std::wstring Widen(const char* text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  return out;
}

class VersionBlock {
 public:
  explicit VersionBlock(const std::wstring& file) {
    DWORD ignored = 0;
    SetLastError(0xdeadbeef);
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    error_ = GetLastError();
    if (size == 0) return;
    data_.resize(size);
    SetLastError(0xdeadbeef);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, data_.data())) {
      error_ = GetLastError();
      data_.clear();
    }
  }
  bool Loaded() const { return !data_.empty(); }
  DWORD Error() const { return error_; }
  const VS_FIXEDFILEINFO* Fixed() { return static_cast<const VS_FIXEDFILEINFO*>(Query(L"\\")); }
  // The first language and code page the block lists.
  bool Translation(WORD* language, WORD* codePage) {
    const WORD* pair = static_cast<const WORD*>(Query(L"\\VarFileInfo\\Translation"));
    if (pair == nullptr) return false;
    *language = pair[0];
    *codePage = pair[1];
    return true;
  }
  std::wstring Text(WORD language, WORD codePage, const wchar_t* name) {
    wchar_t path[128];
    swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", language, codePage, name);
    const wchar_t* value = static_cast<const wchar_t*>(Query(path));
    return value ? value : L"(missing)";
  }

 private:
  const void* Query(const wchar_t* path) {
    void* value = nullptr;
    UINT length = 0;
    return VerQueryValueW(data_.data(), path, &value, &length) && length > 0 ? value : nullptr;
  }
  std::vector<BYTE> data_;
  DWORD error_ = 0;
};

// The version as Windows' file properties show it, in the build's DLL and in
// the stripped one that ships.
TEST(VersionResource, BuiltAndShippedDllsCarryTheProjectVersion) {
  const DWORD versionMS = MAKELONG(RUXTRAP_VERSION_MINOR, RUXTRAP_VERSION_MAJOR);
  const DWORD versionLS = MAKELONG(0, RUXTRAP_VERSION_PATCH);
  for (const std::wstring& dll : {BinFolder() + L"\\Ruxtrap.dll", PackageTestPath(L"install\\bin\\Ruxtrap.dll")}) {
    SCOPED_TRACE(Narrow(dll));
    VersionBlock block(dll);
    ASSERT_TRUE(block.Loaded()) << "error " << block.Error();
    const VS_FIXEDFILEINFO* fixed = block.Fixed();
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(static_cast<DWORD>(VS_FFI_SIGNATURE), fixed->dwSignature);
    EXPECT_EQ(versionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(versionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(versionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(versionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileFlags & VS_FF_DEBUG);

    WORD language = 0, codePage = 0;
    ASSERT_TRUE(block.Translation(&language, &codePage));
    EXPECT_EQ(0x0409, language);
    EXPECT_EQ(1200, codePage);
    EXPECT_EQ(L"Ruxtrap", block.Text(language, codePage, L"ProductName"));
    EXPECT_EQ(Widen(RUXTRAP_VERSION_TEXT), block.Text(language, codePage, L"ProductVersion"));
    EXPECT_EQ(Widen(RUXTRAP_VERSION_TEXT), block.Text(language, codePage, L"FileVersion"));
    EXPECT_EQ(Widen(RUXTRAP_DESCRIPTION), block.Text(language, codePage, L"FileDescription"));
    EXPECT_EQ(Widen(RUXTRAP_COPYRIGHT), block.Text(language, codePage, L"LegalCopyright"));
    EXPECT_EQ(L"Ruxtrap.dll", block.Text(language, codePage, L"OriginalFilename"));
    printf("%s: %u.%u.%u.%u, %ls %ls, \"%ls\", \"%ls\"\n", Narrow(dll).c_str(),
           HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
           LOWORD(fixed->dwFileVersionLS), block.Text(language, codePage, L"ProductName").c_str(),
           block.Text(language, codePage, L"ProductVersion").c_str(),
           block.Text(language, codePage, L"FileDescription").c_str(),
           block.Text(language, codePage, L"LegalCopyright").c_str());
  }
}

}  // namespace
}  // namespace ruxtrap_test
