// The dump path's own decisions, without a crash: whether a dump file is
// whole, which old dumps the thinning removes, and the settings a registry
// key gives.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <dbghelp.h>

#include <string>
#include <vector>

#include "common/crash_run.h"
#include "dumps/dump_check.h"
#include "dumps/dump_files.h"
#include "dumps/dump_settings.h"
#include "support/optional_calls.h"
#include "support/scoped.h"

namespace ruxtrap {
namespace {

using ruxtrap_test::ReadWholeFile;
using ruxtrap_test::RemovePath;
using ruxtrap_test::TempFolder;
using ruxtrap_test::WriteWholeFile;

bool IsWholeDumpFile(const std::string& bytes) {
  const std::wstring path = TempFolder() + L"ruxtrap-dump-check.dmp";
  if (!WriteWholeFile(path, bytes)) return false;
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool whole = file.IsValid() && IsWholeDump(file.Get());
  file.Reset();
  RemovePath(path);
  return whole;
}

template <class T>
void Put(std::string* bytes, const T& value) {
  bytes->append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// A dump of one stream, of type and bytes, right after its directory;
// then trailing bytes.
std::string DumpOfOneStream(ULONG32 type, const std::string& stream, const std::string& trailing = "",
                            ULONG32 streams = 1) {
  MINIDUMP_HEADER header = {};
  header.Signature = 0x504D444D;  // "MDMP"
  header.NumberOfStreams = streams;
  header.StreamDirectoryRva = sizeof(header);
  MINIDUMP_DIRECTORY entry = {};
  entry.StreamType = type;
  entry.Location.DataSize = static_cast<ULONG32>(stream.size());
  entry.Location.Rva = sizeof(header) + sizeof(entry);
  std::string bytes;
  Put(&bytes, header);
  Put(&bytes, entry);
  return bytes + stream + trailing;
}

constexpr ULONG32 kStreamAt = sizeof(MINIDUMP_HEADER) + sizeof(MINIDUMP_DIRECTORY);

TEST(WholeDump, ARealDumpIsWholeAndItsCutsAreNot) {
  const std::wstring path = TempFolder() + L"ruxtrap-real.dmp";
  {
    ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid());
    ASSERT_TRUE(Optional().miniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal,
                                             nullptr, nullptr, nullptr));
  }
  std::string dump;
  ASSERT_TRUE(ReadWholeFile(path, &dump));
  RemovePath(path);
  EXPECT_TRUE(IsWholeDumpFile(dump));
  for (size_t cut : {dump.size() - 1, dump.size() / 2, sizeof(MINIDUMP_HEADER), size_t{0}}) {
    EXPECT_FALSE(IsWholeDumpFile(dump.substr(0, cut))) << cut << " of " << dump.size() << " bytes";
  }
}

// The header's signature and stream count, each stream's place, each
// memory range's bytes.
TEST(WholeDump, EveryPieceMustLieWithinTheFile) {
  std::string notADump = DumpOfOneStream(SystemInfoStream, std::string(56, '\0'));
  notADump[0] = 'X';
  EXPECT_FALSE(IsWholeDumpFile(notADump));
  EXPECT_FALSE(IsWholeDumpFile(DumpOfOneStream(SystemInfoStream, std::string(56, '\0'), "", 100000)));
  std::string cutStream = DumpOfOneStream(SystemInfoStream, std::string(56, '\0'));
  EXPECT_TRUE(IsWholeDumpFile(cutStream));
  EXPECT_FALSE(IsWholeDumpFile(cutStream.substr(0, cutStream.size() - 1)));

  // MINIDUMP_MEMORY_LIST: one range, whose bytes follow the stream.
  std::string list;
  Put(&list, ULONG32{1});
  MINIDUMP_MEMORY_DESCRIPTOR range = {};
  range.StartOfMemoryRange = 0x10000;
  range.Memory.DataSize = 64;
  range.Memory.Rva = kStreamAt + sizeof(ULONG32) + sizeof(range);
  Put(&list, range);
  EXPECT_TRUE(IsWholeDumpFile(DumpOfOneStream(MemoryListStream, list, std::string(64, 'm'))));
  EXPECT_FALSE(IsWholeDumpFile(DumpOfOneStream(MemoryListStream, list, std::string(63, 'm'))));

  // MINIDUMP_MEMORY64_LIST: two ranges, whose bytes follow one another from
  // the base.
  std::string list64;
  Put(&list64, ULONG64{2});
  Put(&list64, ULONG64{kStreamAt + 2 * sizeof(ULONG64) + 2 * sizeof(MINIDUMP_MEMORY_DESCRIPTOR64)});
  for (ULONG64 start : {0x10000, 0x20000}) Put(&list64, MINIDUMP_MEMORY_DESCRIPTOR64{start, 4096});
  EXPECT_TRUE(IsWholeDumpFile(DumpOfOneStream(Memory64ListStream, list64, std::string(8192, 'm'))));
  EXPECT_FALSE(IsWholeDumpFile(DumpOfOneStream(Memory64ListStream, list64, std::string(8191, 'm'))));
}

// A folder of old dumps, each written a day before the next.
class Thinning : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder() + L"ruxtrap-thinning\\";
    TearDown();
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }
  void TearDown() override {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder_ + L"*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found))
      if (found.cFileName[0] != L'.') RemovePath(folder_ + found.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemovePath(folder_);
  }
  // Files d1.dmp (oldest) to dN.dmp.
  void WriteDumps(int count) {
    FILETIME time = {0, 0x01D00000};
    for (int i = 1; i <= count; ++i, time.dwHighDateTime += 200) {
      const std::wstring path = Path(i);
      ASSERT_TRUE(WriteWholeFile(path, "an earlier dump"));
      ScopedFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &time));
    }
  }
  std::wstring Path(int dump) const { return folder_ + L"d" + std::to_wstring(dump) + L".dmp"; }
  std::vector<int> DumpsLeft(int count) const {
    std::vector<int> left;
    for (int i = 1; i <= count; ++i)
      if (GetFileAttributesW(Path(i).c_str()) != INVALID_FILE_ATTRIBUTES) left.push_back(i);
    return left;
  }
  std::wstring folder_;
};

// The oldest go; the new dump stays whatever its time; what is no dump
// file is neither counted nor removed.
TEST_F(Thinning, KeepsTheNewestAndTheNewDump) {
  WriteDumps(5);
  ASSERT_TRUE(WriteWholeFile(folder_ + L"notes.txt", "kept"));
  ASSERT_TRUE(WriteWholeFile(folder_ + L"a.dmpx", "kept"));
  ASSERT_TRUE(CreateDirectoryW((folder_ + L"sub.dmp").c_str(), nullptr));
  EXPECT_EQ(3u, KeepNewestDumps(folder_.c_str(), 3, Path(1).c_str()));
  EXPECT_EQ((std::vector<int>{1, 4, 5}), DumpsLeft(5));
  for (const wchar_t* other : {L"notes.txt", L"a.dmpx", L"sub.dmp"})
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder_ + other).c_str()));

  EXPECT_EQ(3u, KeepNewestDumps(folder_.c_str(), 10, Path(5).c_str())) << "fewer than it keeps";
  EXPECT_EQ((std::vector<int>{1, 4, 5}), DumpsLeft(5));
}

// A dump that cannot go (read-only, or held open) is passed over, and the
// next oldest goes in its place.
TEST_F(Thinning, PassesOverDumpsItCannotRemove) {
  WriteDumps(4);
  ASSERT_TRUE(SetFileAttributesW(Path(1).c_str(), FILE_ATTRIBUTE_READONLY));
  ScopedFileHandle held(CreateFileW(Path(2).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  EXPECT_EQ(3u, KeepNewestDumps(folder_.c_str(), 3, Path(4).c_str()));
  EXPECT_EQ((std::vector<int>{1, 2, 4}), DumpsLeft(4));
  held.Reset();
  EXPECT_EQ(0u, KeepNewestDumps((folder_ + L"missing\\").c_str(), 1, Path(4).c_str())) << "no folder";
}

// The settings under a key of the test's own, for a program "app.exe" of
// process id 4660.
class DumpSettingsKey : public testing::Test {
 protected:
  static constexpr const wchar_t* kKey = L"SOFTWARE\\ruxtrap-tests\\LocalDumps";
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ruxtrap-tests"); }
  void TearDown() override { SetUp(); }
  // A value under the key, or under its key for app.exe; no name: the key alone.
  void Set(bool ofTheProgram, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    const std::wstring path = ofTheProgram ? std::wstring(kKey) + L"\\app.exe" : kKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    if (name != nullptr) {
      EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    }
    RegCloseKey(key);
  }
  void Set(bool ofTheProgram, const wchar_t* name, DWORD value) {
    Set(ofTheProgram, name, REG_DWORD, &value, sizeof(value));
  }
  void Set(bool ofTheProgram, const wchar_t* name, const std::wstring& text, DWORD type = REG_EXPAND_SZ) {
    Set(ofTheProgram, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  DumpSettings Read(REGSAM view = 0) { return ReadDumpSettingsFrom(kKey, view, L"app.exe", 4660); }
};

TEST_F(DumpSettingsKey, WithoutTheKeyNoDump) { EXPECT_FALSE(Read().enabled); }

TEST_F(DumpSettingsKey, AnEmptyKeyGivesTheSystemsDefaults) {
  Set(false, nullptr, 0, nullptr, 0);
  const DumpSettings settings = Read();
  ASSERT_TRUE(settings.enabled);
  wchar_t folder[MAX_PATH];
  ExpandEnvironmentStringsW(L"%LOCALAPPDATA%\\CrashDumps\\", folder, MAX_PATH);
  EXPECT_EQ(std::wstring(folder), settings.folder);
  EXPECT_EQ(std::wstring(folder) + L"app.exe.4660.dmp", settings.path);
  EXPECT_EQ(kDefaultDumpCount, settings.keep);
  EXPECT_EQ(DWORD{MiniDumpNormal}, settings.type);
}

// The program's values win one by one; a count of 0 keeps the new dump;
// a value of another type than the system reads is as if missing.
TEST_F(DumpSettingsKey, TheProgramsValuesWinOneByOne) {
  Set(false, L"DumpFolder", L"C:\\dumps\\global");
  Set(false, L"DumpType", kFullDump);
  Set(false, L"CustomDumpFlags", MiniDumpWithHandleData);
  Set(false, L"DumpCount", 5);
  Set(true, L"DumpFolder", L"%SystemDrive%\\own");
  Set(true, L"DumpType", kCustomDump);
  DumpSettings settings = Read();
  EXPECT_EQ(std::wstring(L"C:\\own\\"), settings.folder);
  EXPECT_EQ(DWORD{MiniDumpWithHandleData}, settings.type);
  EXPECT_EQ(5u, settings.keep);

  Set(true, L"DumpCount", 0);
  Set(true, L"DumpType", L"2", REG_SZ);
  settings = Read();
  EXPECT_EQ(1u, settings.keep);
  EXPECT_EQ(DWORD{MiniDumpWithFullMemory}, settings.type & MiniDumpWithFullMemory) << "the global type: full";
  Set(false, L"DumpCount", L"5", REG_SZ);
  Set(true, L"DumpCount", L"5", REG_SZ);
  Set(true, L"DumpType", 7);
  settings = Read();
  EXPECT_EQ(kDefaultDumpCount, settings.keep);
  EXPECT_EQ(DWORD{MiniDumpNormal}, settings.type) << "a type the system does not know: mini";
}

// A folder that names no folder gives no dump: relative, a variable that
// does not expand, longer than a path, or too long for the dump's name.
TEST_F(DumpSettingsKey, OnlyAFolderThatNamesAFolder) {
  for (const std::wstring& folder : {std::wstring(L"dumps\\relative"), std::wstring(L"%RUXTRAP_NO_SUCH%\\dumps"),
                                     L"C:\\" + std::wstring(300, L'x'), L"C:\\" + std::wstring(MAX_PATH - 12, L'x')}) {
    SCOPED_TRACE(testing::Message() << folder.size() << " characters");
    Set(false, L"DumpFolder", folder);
    EXPECT_FALSE(Read().enabled);
  }
  Set(false, L"DumpFolder", L"%SystemDrive%\\plain\\", REG_SZ);
  EXPECT_EQ(std::wstring(L"C:\\plain\\"), Read().folder) << "a plain string expanded too, one backslash at its end";
}

// Read in the 64-bit view (a process under WOW64), the settings are the
// 64-bit system's: its program folder and its system folder.
TEST_F(DumpSettingsKey, InTheWow64ViewTheFoldersAreThe64BitSystems) {
  wchar_t saved[MAX_PATH] = {};
  const bool had = GetEnvironmentVariableW(L"ProgramW6432", saved, MAX_PATH) > 0;
  SetEnvironmentVariableW(L"ProgramW6432", L"C:\\Programs64");
  Set(false, L"DumpFolder", L"%ProgramFiles%\\dumps");
  EXPECT_EQ(std::wstring(L"C:\\Programs64\\dumps\\"), Read(KEY_WOW64_64KEY).folder);
  SetEnvironmentVariableW(L"ProgramW6432", had ? saved : nullptr);

  wchar_t windows[MAX_PATH];
  GetSystemWindowsDirectoryW(windows, MAX_PATH);
  Set(false, L"DumpFolder", std::wstring(windows) + L"\\System32\\dumps");
  EXPECT_EQ(std::wstring(windows) + L"\\Sysnative\\dumps\\", Read(KEY_WOW64_64KEY).folder);
  EXPECT_EQ(std::wstring(windows) + L"\\System32\\dumps\\", Read().folder);
}

}  // namespace
}  // namespace ruxtrap
