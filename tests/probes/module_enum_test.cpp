// Module enumeration through a fake platform (missing libraries and
// entries, old versions) and on the real platform along both paths.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "probes/probes.h"
#include "support/optional_calls.h"

namespace ruxtrap {
namespace {

// What the fake platform answers, and how often it was asked.
struct World {
  bool versionFails = false;
  DWORD platformId = VER_PLATFORM_WIN32_NT, major = 6;
  bool psapiMissing = false;
  std::string missingName;  // an entry the system lacks
  DWORD modules = 5;        // modules of the process
  bool openFails = false, badCode = false, snapshotFails = false, firstFails = false;
  int versionCalls = 0, enumCalls = 0, snapshotCalls = 0, openCalls = 0;
  HANDLE lastHandle = nullptr;  // the process or snapshot handle handed out
  DWORD nextEntry = 0;
} w;

// A real handle, so closing it can be checked; a successful call leaves the
// thread's error code as it was.
HANDLE NewHandleKeepingLastError() {
  DWORD error = GetLastError();
  HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetLastError(error);
  return h;
}

HMODULE FakeHandleOf(DWORD i) { return reinterpret_cast<HMODULE>(0x10000 * (i + 1)); }

BOOL WINAPI FakeEnumProcessModules(HANDLE, HMODULE* out, DWORD bytes, DWORD* needed) {
  ++w.enumCalls;
  for (DWORD i = 0; i < w.modules && i < bytes / 4; ++i) out[i] = FakeHandleOf(i);
  *needed = w.modules * 4;  // like PSAPI: success and the full size, even when it did not fit
  return TRUE;
}
DWORD WINAPI FakeGetModuleBaseNameW(HANDLE, HMODULE, LPWSTR name, DWORD size) {
  lstrcpynW(name, L"fake.dll", size);
  return static_cast<DWORD>(wcslen(name));
}
HANDLE WINAPI FakeSnapshot(DWORD flags, DWORD) {
  ++w.snapshotCalls;
  if (w.snapshotFails || flags != TH32CS_SNAPMODULE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  w.nextEntry = 0;
  return w.lastHandle = NewHandleKeepingLastError();
}
BOOL WINAPI FakeModuleNext(HANDLE, MODULEENTRY32W* entry) {
  if (w.nextEntry >= w.modules) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  entry->modBaseAddr = reinterpret_cast<BYTE*>(FakeHandleOf(w.nextEntry++));
  return TRUE;
}
BOOL WINAPI FakeModuleFirst(HANDLE snapshot, MODULEENTRY32W* entry) {
  if (entry->dwSize != sizeof(MODULEENTRY32W)) return FALSE;
  if (w.firstFails) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return FakeModuleNext(snapshot, entry);
}
DWORD WINAPI Unused(HANDLE, HMODULE, LPWSTR, DWORD) { return 0; }

BOOL WINAPI FakeGetVersionExW(OSVERSIONINFOW* info) {
  ++w.versionCalls;
  if (w.versionFails || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) return FALSE;
  info->dwPlatformId = w.platformId;
  info->dwMajorVersion = w.major;
  return TRUE;
}
// An entry the world says is missing stays null, as the binder leaves it.
template <class Fn>
void Offer(Fn* entry, const char* name, Fn fake) {
  *entry = w.missingName == name ? nullptr : fake;
}

// The optional calls as the world has them.
void InstallFakeEntries() {
  static BYTE notCode[16];
  OptionalCalls& calls = UnsealedOptionalCalls();
  Offer(&calls.enumProcessModules, "EnumProcessModules",
        w.badCode ? reinterpret_cast<decltype(calls.enumProcessModules)>(static_cast<void*>(notCode))
                  : &FakeEnumProcessModules);
  Offer(&calls.getModuleBaseNameW, "GetModuleBaseNameW", &FakeGetModuleBaseNameW);
  Offer(&calls.getModuleFileNameExW, "GetModuleFileNameExW", &Unused);
  if (w.psapiMissing) {
    calls.enumProcessModules = nullptr;
    calls.getModuleBaseNameW = nullptr;
    calls.getModuleFileNameExW = nullptr;
    calls.getModuleInformation = nullptr;
  }
  Offer(&calls.createToolhelp32Snapshot, "CreateToolhelp32Snapshot", &FakeSnapshot);
  Offer(&calls.module32FirstW, "Module32FirstW", &FakeModuleFirst);
  Offer(&calls.module32NextW, "Module32NextW", &FakeModuleNext);
}

HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD) {
  ++w.openCalls;
  if (w.openFails || access != 0x0410 || inherit) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return w.lastHandle = NewHandleKeepingLastError();
}
// A page of committed memory that may be read but not written.
void* ReadOnlyPage() {
  static void* page = nullptr;
  if (page == nullptr) {
    page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    VirtualProtect(page, 4096, PAGE_READONLY, &old);
  }
  return page;
}

bool IsClosed(HANDLE h) {
  DWORD flags;
  return h != nullptr && !GetHandleInformation(h, &flags);
}

class ProbesFake : public ::testing::Test {
 protected:
  void SetUp() override {
    w = World();
    ResetProbeState();
    TheProbePlatform() = {&FakeGetVersionExW, &FakeOpenProcess};
  }
  void TearDown() override {
    TheProbePlatform() = RealProbePlatform();
    ResetProbeState();
    BindOptionalCalls();
  }
  BOOL Enum(DWORD slots) {
    InstallFakeEntries();
    modules_.assign(slots + 1, nullptr);
    count_ = 0xDEAD;
    SetLastError(0xdeadbeef);
    BOOL ok = EnumProcessModulesCompat(1234, slots, slots ? modules_.data() : nullptr, &count_);
    error_ = GetLastError();
    return ok;
  }
  void UseVersion(DWORD platformId, DWORD major) {
    w.platformId = platformId;
    w.major = major;
  }
  // Which path ran.
  std::string PathTaken() {
    w.enumCalls = w.snapshotCalls = 0;
    ResetProbeState();
    Enum(10);
    return w.enumCalls ? "psapi" : w.snapshotCalls ? "toolhelp" : "none";
  }
  std::vector<HMODULE> modules_;
  DWORD count_ = 0;
  DWORD error_ = 0;
};

TEST_F(ProbesFake, PathFollowsThePlatformAndVersion) {
  struct Row {
    DWORD platformId, major;
    const char* path;
  } rows[] = {{2, 4, "psapi"},    {2, 5, "toolhelp"}, {2, 6, "psapi"}, {2, 10, "psapi"},
              {1, 4, "toolhelp"}, {0, 3, "toolhelp"}, {3, 5, "toolhelp"}};
  for (const Row& r : rows) {
    UseVersion(r.platformId, r.major);
    EXPECT_EQ(r.path, PathTaken()) << "platform " << r.platformId << " major " << r.major;
  }
  w.versionFails = true;
  EXPECT_EQ("toolhelp", PathTaken()) << "an unreadable version";
}

TEST_F(ProbesFake, UnreadableVersionIsAskedAgainReadableOneOnce) {
  w.versionFails = true;
  Enum(10);
  Enum(10);
  EXPECT_EQ(2, w.versionCalls);
  w.versionFails = false;
  Enum(10);
  Enum(10);
  EXPECT_EQ(3, w.versionCalls);
}

TEST_F(ProbesFake, ExactFitAndOneOverOnBothPaths) {
  for (DWORD major : {6u, 5u}) {
    SCOPED_TRACE(major == 6 ? "psapi" : "toolhelp");
    UseVersion(2, major);
    ResetProbeState();
    w.modules = 7;
    ASSERT_TRUE(Enum(7));
    EXPECT_EQ(0u, error_);
    EXPECT_EQ(7u, count_);
    EXPECT_EQ(FakeHandleOf(6), modules_[6]);
    EXPECT_EQ(nullptr, modules_[7]) << "nothing past the slots";

    w.modules = 8;
    EXPECT_FALSE(Enum(7));
    EXPECT_EQ(122u, error_);
    EXPECT_EQ(major == 6 ? 8u : 7u, count_) << "PSAPI counts every module, Toolhelp what it stored";
    EXPECT_EQ(FakeHandleOf(6), modules_[6]);
    EXPECT_EQ(nullptr, modules_[7]);
    EXPECT_TRUE(IsClosed(w.lastHandle));
  }
}

TEST_F(ProbesFake, ZeroSlotsWithNullArrayCountsOnBothPaths) {
  for (DWORD major : {6u, 5u}) {
    UseVersion(2, major);
    ResetProbeState();
    EXPECT_TRUE(Enum(0));
    EXPECT_EQ(5u, count_);
  }
}

// A count or an array in memory that cannot be written (read-only, or none
// at all) is refused before anything else is asked.
TEST_F(ProbesFake, BadArgumentsFailWith87BeforeAnythingElse) {
  HMODULE slots[10];
  DWORD count = 0xDEAD;
  for (DWORD* badCount : {static_cast<DWORD*>(ReadOnlyPage()), static_cast<DWORD*>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(EnumProcessModulesCompat(1234, 10, slots, badCount));
    EXPECT_EQ(87u, GetLastError());
  }
  for (HMODULE* badArray : {static_cast<HMODULE*>(ReadOnlyPage()), static_cast<HMODULE*>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(EnumProcessModulesCompat(1234, 10, badArray, &count));
    EXPECT_EQ(87u, GetLastError());
    EXPECT_EQ(0xDEADu, count);
  }
  // Writable bytes up to the page's end, the rest of the array beyond it.
  BYTE* writableEnd = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
  VirtualAlloc(writableEnd, 4096, MEM_COMMIT, PAGE_READWRITE);
  SetLastError(0);
  EXPECT_FALSE(EnumProcessModulesCompat(1234, 10, reinterpret_cast<HMODULE*>(writableEnd + 4096 - 8), &count));
  EXPECT_EQ(87u, GetLastError());
  VirtualFree(writableEnd, 0, MEM_RELEASE);
  EXPECT_EQ(0, w.versionCalls + w.enumCalls + w.snapshotCalls + w.openCalls);
}

TEST_F(ProbesFake, SlotsWhoseByteSizeWrapsAreRejected) {
  for (DWORD slots : {0x40000000u, 0x40000001u, 0x80000000u, 0xFFFFFFFFu}) {
    DWORD count = 0xDEAD;
    HMODULE one[1];
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumProcessModulesCompat(1234, slots, one, &count));
    EXPECT_EQ(87u, GetLastError());
    EXPECT_EQ(0xDEADu, count);
  }
  EXPECT_EQ(0, w.versionCalls);
}

// Where the system lacks PSAPI or one of its entries, listing and naming
// fail with 1114; once the entries are there, the same calls work.
TEST_F(ProbesFake, MissingPsapiOrEntryFailsWith1114) {
  w.psapiMissing = true;
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(1114u, error_);
  EXPECT_EQ(0xDEADu, count_);
  wchar_t name[32];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GetModuleBaseNameCompat(GetCurrentProcess(), nullptr, name, 32));
  EXPECT_EQ(1114u, GetLastError());
  w.psapiMissing = false;
  EXPECT_TRUE(Enum(10));
  for (const char* entry : {"EnumProcessModules", "GetModuleBaseNameW", "GetModuleFileNameExW"}) {
    w.missingName = entry;
    EXPECT_FALSE(Enum(10)) << entry;
    EXPECT_EQ(1114u, error_) << entry;
  }
}

TEST_F(ProbesFake, EachMissingToolhelpEntryFailsTheToolhelpPath) {
  UseVersion(2, 5);
  for (const char* name : {"CreateToolhelp32Snapshot", "Module32FirstW", "Module32NextW"}) {
    w.missingName = name;
    w.snapshotCalls = 0;
    EXPECT_FALSE(Enum(10)) << name;
    EXPECT_EQ(1114u, error_) << name;
    EXPECT_EQ(0u, count_);
    EXPECT_EQ(0, w.snapshotCalls) << name;
  }
}

TEST_F(ProbesFake, PsapiPathErrors) {
  w.openFails = true;
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error_);
  EXPECT_EQ(0xDEADu, count_);
  w.openFails = false;
  w.badCode = true;  // the binding's entry is no code
  ResetProbeState();
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(1154u, error_);
  EXPECT_TRUE(IsClosed(w.lastHandle)) << "the process handle is closed on this path too";
  w.badCode = false;
  ResetProbeState();
  w.modules = 0;
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(0u, count_);
  EXPECT_EQ(0xdeadbeefu, error_) << "a size of 0 sets no code of its own";
}

TEST_F(ProbesFake, ToolhelpPathErrors) {
  UseVersion(1, 4);
  w.snapshotFails = true;
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error_);
  EXPECT_EQ(0u, count_);
  w.snapshotFails = false;
  w.firstFails = true;
  EXPECT_FALSE(Enum(10));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), error_);
  EXPECT_TRUE(IsClosed(w.lastHandle));
}

// --- The real platform ---

std::set<HMODULE> SystemModuleList() {
  std::set<HMODULE> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Module32FirstW(snapshot, &entry); ok; ok = Module32NextW(snapshot, &entry))
    modules.insert(reinterpret_cast<HMODULE>(entry.modBaseAddr));
  CloseHandle(snapshot);
  return modules;
}

BOOL WINAPI VersionOf(OSVERSIONINFOW* info, DWORD platformId, DWORD major) {
  info->dwPlatformId = platformId;
  info->dwMajorVersion = major;
  return TRUE;
}
BOOL WINAPI XpVersion(OSVERSIONINFOW* info) { return VersionOf(info, 2, 5); }
BOOL WINAPI Win98Version(OSVERSIONINFOW* info) { return VersionOf(info, 1, 4); }

class ProbesReal : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProbeState();
    BindOptionalCalls();
  }
  void TearDown() override {
    TheProbePlatform() = RealProbePlatform();
    ResetProbeState();
    BindOptionalCalls();
  }
  std::vector<HMODULE> List(DWORD slots, BOOL* ok, DWORD* count) {
    std::vector<HMODULE> modules(slots ? slots : 1);
    *ok = EnumProcessModulesCompat(GetCurrentProcessId(), slots, slots ? modules.data() : nullptr, count);
    modules.resize(std::min<DWORD>(*count, slots));
    return modules;
  }
};

TEST_F(ProbesReal, BothPathsListWhatTheSystemLists) {
  std::set<HMODULE> expected = SystemModuleList();
  ASSERT_GE(expected.size(), 3u);
  for (auto version : {RealProbePlatform().getVersionExW, &XpVersion, &Win98Version}) {
    ResetProbeState();
    TheProbePlatform().getVersionExW = version;
    BOOL ok;
    DWORD count;
    std::vector<HMODULE> listed = List(250, &ok, &count);
    ASSERT_TRUE(ok);
    EXPECT_EQ(expected.size(), count);
    EXPECT_EQ(expected, std::set<HMODULE>(listed.begin(), listed.end()));
    EXPECT_EQ(GetModuleHandleW(nullptr), listed[0]) << "the executable comes first";
  }
}

TEST_F(ProbesReal, ExactFitAndOneOverOnBothPaths) {
  for (auto version : {RealProbePlatform().getVersionExW, &XpVersion}) {
    ResetProbeState();
    TheProbePlatform().getVersionExW = version;
    BOOL ok;
    DWORD total = 0, count = 0;
    List(0, &ok, &total);
    ASSERT_TRUE(ok);
    List(total, &ok, &count);
    EXPECT_TRUE(ok);
    EXPECT_EQ(total, count);
    SetLastError(0xdeadbeef);
    List(total - 1, &ok, &count);
    EXPECT_FALSE(ok);
    EXPECT_EQ(122u, GetLastError());
    EXPECT_EQ(version == &XpVersion ? total - 1 : total, count);
  }
}

TEST_F(ProbesReal, XpWithoutPsapiStillListsButCannotName) {
  TheProbePlatform().getVersionExW = &XpVersion;
  OptionalCalls& calls = UnsealedOptionalCalls();
  calls.enumProcessModules = nullptr;
  calls.getModuleBaseNameW = nullptr;
  calls.getModuleFileNameExW = nullptr;
  BOOL ok;
  DWORD count;
  List(250, &ok, &count);
  EXPECT_TRUE(ok);
  wchar_t name[MAX_PATH];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GetModuleBaseNameCompat(GetCurrentProcess(), nullptr, name, MAX_PATH));
  EXPECT_EQ(1114u, GetLastError());
}

TEST_F(ProbesReal, BaseNameOfTheExecutableAndOfADll) {
  wchar_t name[MAX_PATH];
  DWORD n = GetModuleBaseNameCompat(GetCurrentProcess(), nullptr, name, MAX_PATH);
  EXPECT_EQ(std::wstring(L"probes_tests.exe"), std::wstring(name, n));
  n = GetModuleBaseNameCompat(GetCurrentProcess(), GetModuleHandleW(L"kernel32.dll"), name, MAX_PATH);
  EXPECT_EQ(0, lstrcmpiW(L"kernel32.dll", name));
  EXPECT_EQ(12u, n);
}

}  // namespace
}  // namespace ruxtrap
