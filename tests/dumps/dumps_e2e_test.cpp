// Real crashes of the crash host with the machine's local-dump settings in
// the prefix's registry; each dump read back by the tests' own reader. The
// Wow64 cases run in a 64-bit prefix (the dumps_wow64 test), where the host
// runs under WOW64 and the settings lie in the 64-bit view.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/crash_run.h"
#include "dumps/minidump_reader.h"

namespace ruxtrap_test {
namespace {

const std::wstring kKey = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";
const std::wstring kFolder = L"C:\\ruxtrap-dumps";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The names in folder; with folders, those of its subfolders too.
std::vector<std::wstring> NamesIn(const std::wstring& folder, bool withFolders = false) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    std::wstring name = found.cFileName;
    bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (name != L"." && name != L".." && (withFolders || !isFolder)) names.push_back(name);
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::wstring& path) {
  for (const std::wstring& name : NamesIn(path, true)) RemoveTree(path + L"\\" + name);
  RemovePath(path);
}

bool SettingsExist(REGSAM view) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void RemoveSettings() {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY parent;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting", 0,
                      KEY_ALL_ACCESS | view, &parent) != ERROR_SUCCESS)
      continue;
    RegDeleteTreeW(parent, L"LocalDumps");
    RegCloseKey(parent);
  }
}

// A value under LocalDumps, or under its key for program when one is
// named; no name: the key alone. A text is a REG_EXPAND_SZ.
void Set(const std::wstring& program, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  std::wstring path = program.empty() ? kKey : kKey + L"\\" + program;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  if (name != nullptr) {
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
  }
  RegCloseKey(key);
}
void Set(const std::wstring& program, const wchar_t* name, DWORD value) {
  Set(program, name, REG_DWORD, &value, sizeof(value));
}
void Set(const std::wstring& program, const wchar_t* name, const std::wstring& text) {
  Set(program, name, REG_EXPAND_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

// The prefix's own reg.exe, as an administrator runs it.
void RunReg(const std::wstring& arguments) {
  std::wstring line = L"reg.exe " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  DWORD code = 1;
  WaitForSingleObject(info.hProcess, 30000);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  EXPECT_EQ(0u, code) << Narrow(line);
}

std::wstring DumpName(const CrashRun& run, const std::wstring& program = L"crash_host.exe") {
  return program + L"." + std::to_wstring(run.facts.at("pid")) + L".dmp";
}

std::wstring CrashDumpsFolder() { return UserLogPath().substr(0, UserLogPath().rfind(L'\\')) + L"\\CrashDumps"; }

// The report as without dumps: whole, the message box, the exit code.
CrashRun CrashWithReport(const std::wstring& arguments, CrashHostOptions options = {}) {
  CrashRun run = RunCrashHost(arguments, options);
  EXPECT_TRUE(run.finished) << "the crashed host did not end";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  std::string problem;
  EXPECT_EQ(1, CountWholeReports(run.log, &problem)) << problem;
  EXPECT_TRUE(run.scriptHostStarted) << "no message box";
  return run;
}

// The dump of a null-pointer write: the fault's code and thread, where it
// faulted, the host and the library among the modules, and the faulting
// thread's own stack from the fault up.
Minidump ExpectDumpOfTheCrash(const std::wstring& path, CrashRun& run) {
  Minidump dump;
  std::string problem, word;
  EXPECT_TRUE(ReadMinidump(path, &dump, &problem)) << Narrow(path) << ": " << problem;
  EXPECT_EQ(DWORD{EXCEPTION_ACCESS_VIOLATION}, dump.exceptionCode);
  EXPECT_EQ(run.facts["threadId"], dump.exceptionThread);
  EXPECT_GE(dump.faultEip, run.facts["WriteThroughNullPointer"]);
  EXPECT_LT(dump.faultEip, run.facts["WriteThroughNullPointer"] + 0x100);
  EXPECT_TRUE(dump.HasModuleEnding("\\crash_host.exe"));
  EXPECT_TRUE(dump.HasModuleEnding("\\Ruxtrap.dll"));
  const Minidump::Thread* thread = dump.FindThread(dump.exceptionThread);
  EXPECT_TRUE(thread != nullptr) << "the faulting thread is not in the thread list";
  if (thread != nullptr) {
    EXPECT_LE(thread->stack.address, dump.faultEsp);
    EXPECT_EQ(run.facts["stackBase"], thread->stack.address + thread->stack.size);
  }
  EXPECT_TRUE(dump.ReadMemory(dump.faultEsp, 4, &word)) << "the fault's stack is not in the dump";
  return dump;
}

class LocalDumps : public testing::Test {
 protected:
  void SetUp() override {
    RemoveSettings();
    RemoveTree(kFolder);
    RemoveTree(CrashDumpsFolder());
    RemoveTree(BinFolder() + L"\\ruxtrap-dumps");
  }
  void TearDown() override { RemoveSettings(); }
};

// The program's key gives the folder (two levels made, a variable expanded)
// and the type (custom); the global key the custom flags, and a folder and
// type that lose. A crash on a second thread, so the faulting thread is not
// the first one.
TEST_F(LocalDumps, TheProgramsKeyWinsValueByValue) {
  Set(L"", L"DumpFolder", kFolder + L"\\global");
  Set(L"", L"DumpType", 2);
  Set(L"", L"CustomDumpFlags", MiniDumpWithHandleData);
  Set(L"crash_host.exe", L"DumpFolder", L"%SystemDrive%\\ruxtrap-dumps\\own\\deeper");
  Set(L"crash_host.exe", L"DumpType", 0);
  CrashRun run = CrashWithReport(L"thread");
  Minidump dump = ExpectDumpOfTheCrash(kFolder + L"\\own\\deeper\\" + DumpName(run), run);
  EXPECT_EQ(ULONG64{MiniDumpWithHandleData}, dump.flags);
  EXPECT_FALSE(dump.hasFullMemory);
  EXPECT_FALSE(Exists(kFolder + L"\\global"));
}

// A full dump holds the process's memory: the host's and the library's
// images where they were loaded.
TEST_F(LocalDumps, AFullDumpHoldsTheMemory) {
  Set(L"", L"DumpFolder", kFolder);
  Set(L"", L"DumpType", 2);
  CrashHostOptions options;
  options.timeoutMs = 300000;
  CrashRun run = CrashWithReport(L"av", options);
  Minidump dump = ExpectDumpOfTheCrash(kFolder + L"\\" + DumpName(run), run);
  EXPECT_TRUE(dump.hasFullMemory && (dump.flags & MiniDumpWithFullMemory));
  for (const char* module : {"exe", "ruxtrap"}) {
    std::string header;
    EXPECT_TRUE(dump.ReadMemory(run.facts[module], 2, &header) && header == "MZ") << module;
  }
}

// DumpCount 2 over three crashes (three copies of the host, so no two
// dumps share a name) keeps the newest two; an older dump goes first, and
// what is no dump file stays.
TEST_F(LocalDumps, DumpCountKeepsTheNewest) {
  Set(L"", L"DumpFolder", kFolder);
  Set(L"", L"DumpCount", 2);
  Set(L"", L"DumpType", 0);
  Set(L"", L"CustomDumpFlags", MiniDumpNormal);
  ASSERT_TRUE(CreateDirectoryW(kFolder.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(kFolder + L"\\notes.txt", "kept"));
  ASSERT_TRUE(CreateDirectoryW((kFolder + L"\\folder.dmp").c_str(), nullptr));
  std::vector<std::wstring> dumps;
  FILETIME previous = {};
  for (const wchar_t* copy : {L"crash_host_a.exe", L"crash_host_b.exe", L"crash_host_c.exe"}) {
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\crash_host.exe").c_str(), (BinFolder() + L"\\" + copy).c_str(), FALSE));
    CrashHostOptions options;
    options.program = copy;
    dumps.push_back(DumpName(CrashWithReport(L"av", options), copy));
    RemovePath(BinFolder() + L"\\" + copy);
    // Each dump newer than the one before, as the thinning reads it.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW((kFolder + L"\\" + dumps.back()).c_str(), GetFileExInfoStandard, &data));
    ASSERT_LT(CompareFileTime(&previous, &data.ftLastWriteTime), 0);
    previous = data.ftLastWriteTime;
  }
  EXPECT_EQ((std::vector<std::wstring>{dumps[1], dumps[2], L"notes.txt"}), NamesIn(kFolder));
  EXPECT_TRUE(Exists(kFolder + L"\\folder.dmp"));
}

// A key without values: a mini dump in the user's CrashDumps folder, made
// for it.
TEST_F(LocalDumps, TheDefaultsAreAMiniDumpInCrashDumps) {
  Set(L"", nullptr, 0, nullptr, 0);
  CrashRun run = CrashWithReport(L"av");
  Minidump dump = ExpectDumpOfTheCrash(CrashDumpsFolder() + L"\\" + DumpName(run), run);
  EXPECT_EQ(ULONG64{MiniDumpNormal}, dump.flags);
  EXPECT_FALSE(dump.hasFullMemory);
}

// No key: the report as ever, no file or folder anywhere a dump could go,
// and no key made.
TEST_F(LocalDumps, WithoutTheKeyNothingIsWrittenNorMade) {
  CrashWithReport(L"av");
  EXPECT_FALSE(Exists(CrashDumpsFolder()));
  const std::wstring temp = TempFolder().substr(0, TempFolder().size() - 1);
  for (const std::wstring& folder : {BinFolder(), std::wstring(L"C:"), temp, CrashDumpsFolder() + L"\\.."})
    for (const std::wstring& name : NamesIn(folder)) {
      EXPECT_EQ(std::wstring::npos, name.find(L".dmp")) << Narrow(name);
    }
  EXPECT_FALSE(SettingsExist(KEY_WOW64_32KEY));
  EXPECT_FALSE(SettingsExist(KEY_WOW64_64KEY));
}

// What costs the dump and nothing else: a folder that cannot be made (a
// file has its name), another thread holding the loader lock for good
// (the dump writer would wait for it for ever), and a stack overflow,
// whose dump is written from the report's stack.
TEST_F(LocalDumps, WhatTheDumpCannotDoCostsTheDumpOnly) {
  ASSERT_TRUE(WriteWholeFile(kFolder, "a file"));
  Set(L"", L"DumpFolder", kFolder + L"\\dumps");
  CrashWithReport(L"av");
  EXPECT_FALSE(Exists(kFolder + L"\\dumps"));
  RemovePath(kFolder);

  Set(L"", L"DumpFolder", kFolder);
  CrashWithReport(L"dllmain-waits");
  EXPECT_FALSE(Exists(kFolder));

  CrashHostOptions options;
  options.timeoutMs = 120000;
  CrashRun run = CrashWithReport(L"overflow", options);
  Minidump dump;
  std::string problem;
  EXPECT_TRUE(ReadMinidump(kFolder + L"\\" + DumpName(run), &dump, &problem)) << problem;
  EXPECT_EQ(DWORD{EXCEPTION_STACK_OVERFLOW}, dump.exceptionCode);
  EXPECT_EQ(run.facts["threadId"], dump.exceptionThread);
}

// A folder value that names no folder gives no dump, nor makes one: longer
// than a path may be, relative (it would depend on the program's current
// folder), or with a variable that does not expand. A plain string value
// has its variables expanded as the system's own type does.
TEST_F(LocalDumps, OnlyAFolderThatNamesAFolderTakesTheDump) {
  for (const std::wstring& folder :
       {kFolder + L"\\" + std::wstring(300, L'x'), std::wstring(L"ruxtrap-dumps\\relative"),
        std::wstring(L"%RUXTRAP_NO_SUCH_VARIABLE%\\dumps")}) {
    SCOPED_TRACE(Narrow(folder.substr(0, 60)));
    Set(L"", L"DumpFolder", folder);
    CrashWithReport(L"av");
    EXPECT_FALSE(Exists(kFolder));
    EXPECT_FALSE(Exists(BinFolder() + L"\\ruxtrap-dumps"));
    EXPECT_FALSE(Exists(CrashDumpsFolder()));
  }
  const std::wstring plain = L"%SystemDrive%\\ruxtrap-dumps\\plain";
  Set(L"", L"DumpFolder", REG_SZ, plain.c_str(), static_cast<DWORD>((plain.size() + 1) * 2));
  CrashRun run = CrashWithReport(L"av");
  ExpectDumpOfTheCrash(kFolder + L"\\plain\\" + DumpName(run), run);
}

// A dump cut short (the host killed while the writer writes a full dump)
// never takes a dump's name: the earlier dumps stay, and no *.dmp is left
// of it.
TEST_F(LocalDumps, ADumpCutShortNeverTakesADumpsPlace) {
  Set(L"", L"DumpFolder", kFolder);
  Set(L"", L"DumpType", 2);
  Set(L"", L"DumpCount", 1);
  ASSERT_TRUE(CreateDirectoryW(kFolder.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(kFolder + L"\\earlier.dmp", "an earlier dump"));
  CrashHostOptions options;
  options.timeoutMs = 300000;
  options.killWhen = [](const std::string&) {
    for (const std::wstring& name : NamesIn(kFolder)) {
      if (name.find(L".partial") != std::wstring::npos) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW((kFolder + L"\\" + name).c_str(), GetFileExInfoStandard, &data) &&
            data.nFileSizeLow > 4 * 1024 * 1024)
          return true;
      }
    }
    return false;
  };
  CrashRun run = RunCrashHost(L"av", options);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(1u, run.exitCode) << "ended from outside while the dump was written";
  for (const std::wstring& name : NamesIn(kFolder))
    EXPECT_TRUE(name == L"earlier.dmp" || name.find(L".dmp.partial") != std::wstring::npos) << Narrow(name);
  EXPECT_TRUE(Exists(kFolder + L"\\earlier.dmp"));
}

// Thinning passes over dumps it cannot remove (read-only here, kept on
// purpose), more of them than it looks at in one go, and takes the next
// oldest in their place.
TEST_F(LocalDumps, ThinningPassesOverDumpsItCannotRemove) {
  Set(L"", L"DumpFolder", kFolder);
  Set(L"", L"DumpCount", 2);
  ASSERT_TRUE(CreateDirectoryW(kFolder.c_str(), nullptr));
  std::vector<std::wstring> kept;
  for (int i = 0; i < 300; ++i) kept.push_back(L"a-kept-" + std::to_wstring(100 + i) + L".dmp");
  std::vector<std::wstring> names = {L"c-old.dmp", L"b-older.dmp"};
  names.insert(names.end(), kept.begin(), kept.end());
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  for (const std::wstring& name : names) {  // each older than the one before
    const std::wstring path = kFolder + L"\\" + name;
    ASSERT_TRUE(WriteWholeFile(path, "an earlier dump"));
    time.dwHighDateTime -= 1;
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
  }
  for (const std::wstring& name : kept)
    SetFileAttributesW((kFolder + L"\\" + name).c_str(), FILE_ATTRIBUTE_READONLY);
  CrashRun run = CrashWithReport(L"av");
  kept.push_back(DumpName(run));
  EXPECT_EQ(kept, NamesIn(kFolder));
  for (const std::wstring& name : kept)
    SetFileAttributesW((kFolder + L"\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A fault on a stack of the program's own (a coroutine's): the writer runs
// from the report's stack, not below the fault on a stack whose room the
// thread's bounds do not tell.
TEST_F(LocalDumps, AFaultOnAStackOfTheProgramsOwnGetsItsDump) {
  Set(L"", L"DumpFolder", kFolder);
  CrashRun run = CrashWithReport(L"own-stack");
  Minidump dump;
  std::string problem;
  EXPECT_TRUE(ReadMinidump(kFolder + L"\\" + DumpName(run), &dump, &problem)) << problem;
  EXPECT_EQ(DWORD{EXCEPTION_ACCESS_VIOLATION}, dump.exceptionCode);
}

// Under WOW64 the settings are read where the system reads them, in the
// 64-bit view, which reg.exe writes with /reg:64; the view a 32-bit
// program sees by default holds nothing the system would read.
class Wow64 : public LocalDumps {
 protected:
  void SetUp() override {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64) && wow64) << "run in a 64-bit prefix (dumps_wow64)";
    LocalDumps::SetUp();
  }
  void Add(const std::wstring& key, const std::wstring& value, const std::wstring& view) {
    RunReg(L"add \"HKLM\\" + kKey + key + L"\" " + value + L" /f /reg:" + view);
  }
};

TEST_F(Wow64, TheSettingsComeFromThe64BitView) {
  Add(L"", L"/v DumpFolder /t REG_EXPAND_SZ /d C:\\ruxtrap-dumps\\global", L"64");
  Add(L"\\crash_host.exe", L"/v DumpFolder /t REG_EXPAND_SZ /d C:\\ruxtrap-dumps\\own", L"64");
  Add(L"\\crash_host.exe", L"/v DumpType /t REG_DWORD /d 1", L"64");
  CrashRun run = CrashWithReport(L"av");
  Minidump dump = ExpectDumpOfTheCrash(kFolder + L"\\own\\" + DumpName(run), run);
  EXPECT_EQ(ULONG64{MiniDumpNormal}, dump.flags);
}

// The settings are the 64-bit system's, whose reader expands its own
// variables: %ProgramFiles% is the 64-bit program folder, not the one a
// 32-bit program sees as it ("Program Files (x86)").
TEST_F(Wow64, VariablesAreThoseOfThe64BitSystem) {
  wchar_t programs[MAX_PATH], programs32[MAX_PATH];
  ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramW6432", programs, MAX_PATH));
  ASSERT_NE(0u, GetEnvironmentVariableW(L"ProgramFiles", programs32, MAX_PATH));
  ASSERT_NE(std::wstring(programs), std::wstring(programs32));
  const std::wstring folder = std::wstring(programs) + L"\\ruxtrap-dumps";
  RemoveTree(folder);
  Add(L"", L"/v DumpFolder /t REG_EXPAND_SZ /d %ProgramFiles%\\ruxtrap-dumps", L"64");
  CrashRun run = CrashWithReport(L"av");
  EXPECT_TRUE(Exists(folder + L"\\" + DumpName(run))) << Narrow(folder);
  EXPECT_FALSE(Exists(std::wstring(programs32) + L"\\ruxtrap-dumps"));
  RemoveTree(folder);
}

TEST_F(Wow64, The32BitViewIsNotRead) {
  Add(L"", L"/v DumpFolder /t REG_EXPAND_SZ /d C:\\ruxtrap-dumps", L"32");
  CrashWithReport(L"av");
  EXPECT_FALSE(Exists(kFolder));
  EXPECT_FALSE(Exists(CrashDumpsFolder()));
}

}  // namespace
}  // namespace ruxtrap_test
