#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"
#include "describe/symbol_engine.h"
#include "lifecycle/lifecycle.h"
#include "support/log_text.h"
#include "support/optional_calls.h"
#include "report/report.h"

namespace ruxtrap {
namespace {

// A platform that records what the lifecycle code says and installs.
struct Recorder {
  std::vector<std::string> debugA;
  std::vector<std::wstring> debugW;
  std::vector<LPTOP_LEVEL_EXCEPTION_FILTER> filtersSet;
  LPTOP_LEVEL_EXCEPTION_FILTER current = nullptr;
} rec;

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI FakeSetFilter(LPTOP_LEVEL_EXCEPTION_FILTER f) {
  rec.filtersSet.push_back(f);
  return std::exchange(rec.current, f);
}
void WINAPI FakeDebugA(LPCSTR s) { rec.debugA.push_back(s); }
void WINAPI FakeDebugW(LPCWSTR s) { rec.debugW.push_back(s); }

LifecyclePlatform FakePlatform() { return {&FakeSetFilter, &FakeDebugA, &FakeDebugW}; }

// A function of crashlib.dll whose library has been unloaded again: an
// address where no code is loaded any more.
CrashHandler HandlerOfAnUnloadedLibrary() {
  HMODULE library = LoadLibraryW(L"crashlib.dll");
  auto handler = reinterpret_cast<CrashHandler>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")));
  FreeLibrary(library);
  return handler;
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// Whether the symbol handler is set up for this process: only then does it
// know a search path.
bool SymbolHandlerIsSetUp() {
  using SearchPathFn = BOOL(WINAPI*)(HANDLE, PSTR, DWORD);
  auto searchPath = reinterpret_cast<SearchPathFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"dbghelp.dll"), "SymGetSearchPath")));
  char path[MAX_PATH];
  return searchPath != nullptr && searchPath(GetCurrentProcess(), path, MAX_PATH);
}

class CrashFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = Recorder();
    rec.current = &HostFilter;
    TheLifecyclePlatform() = FakePlatform();
    ResetInstallationState();
  }
  void TearDown() override {
    RestorePreviousFilter();
    ResetInstallationState();
    TheLifecyclePlatform() = RealLifecyclePlatform();
  }
  LONG Filter(DWORD code) {
    record_.ExceptionCode = code;
    return CrashFilter(&pointers_);
  }
  EXCEPTION_RECORD record_ = {};
  CONTEXT context_ = {};
  EXCEPTION_POINTERS pointers_ = {&record_, &context_};
};

const std::vector<std::wstring> kOverflowNotice = {
    L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n", L"EXCEPTION_STACK_OVERFLOW occurred\n",
    L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n"};

TEST_F(CrashFilterTest, WithoutHandlerOnlyAStackOverflowIsAnnounced) {
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, Filter(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_TRUE(rec.debugW.empty());
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, Filter(EXCEPTION_STACK_OVERFLOW));
  EXPECT_EQ(kOverflowNotice, rec.debugW);
  EXPECT_FALSE(SymbolHandlerIsSetUp()) << "no handler: the symbol handler is not set up";
}

// The symbol handler is set up by the handler's first lookup (its lines
// that need none come first) and released by the filter.
bool handlerSetUpSymbols = false;
LONG ReturnOneInsideTheLock(EXCEPTION_POINTERS*, ReportSession& session) {
  session.Symbols().Ensure();
  handlerSetUpSymbols = session.Symbols().IsSetUp();
  EXPECT_TRUE(TheCrashLock().IsLocked()) << "the symbol steps run under the report lock";
  return EXCEPTION_EXECUTE_HANDLER;
}

TEST_F(CrashFilterTest, HandlerResultIsReturnedAndSymbolsReleased) {
  ASSERT_TRUE(SetCrashHandler(&ReturnOneInsideTheLock));
  EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, Filter(EXCEPTION_STACK_OVERFLOW));
  EXPECT_EQ(kOverflowNotice, rec.debugW);
  EXPECT_TRUE(handlerSetUpSymbols);
  EXPECT_FALSE(SymbolHandlerIsSetUp()) << "released by the filter";
  EXPECT_FALSE(TheCrashLock().IsLocked());
}

int handlerCalls = 0;
LONG CountCalls(EXCEPTION_POINTERS*, ReportSession&) {
  ++handlerCalls;
  return EXCEPTION_EXECUTE_HANDLER;
}

// The handler's library went away after the installation: its address is
// no code any more, and the filter does not call it.
TEST_F(CrashFilterTest, HandlerWhoseCodeIsGoneIsNotCalled) {
  HMODULE library = LoadLibraryW(L"crashlib.dll");
  ASSERT_NE(nullptr, library);
  ASSERT_TRUE(SetCrashHandler(reinterpret_cast<CrashHandler>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "CrashInLibrary")))));
  FreeLibrary(library);
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, Filter(EXCEPTION_ACCESS_VIOLATION)) << "not called: it would fault";
}

std::wstring TempLog() { return ruxtrap_test::BinFolder() + L"\\crash_filter_test.log"; }

// Opens a log and takes the lock the way the report driver does, then faults.
LONG FaultWhileHoldingLogAndLock(EXCEPTION_POINTERS*, ReportSession& session) {
  session.Symbols().Ensure();
  CrashLockGuard lock(TheCrashLock());
  LogFileHolder log(CreateFileW(TempLog().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  WriteNarrow(log.Get(), "partial report\n");
  volatile int* volatile p = nullptr;
  *p = 1;
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI TakeAndLeaveTheLock(void*) {
  TheCrashLock().Enter();
  TheCrashLock().Leave();
  return 0;
}

bool OtherThreadCanTakeTheLock() {
  HANDLE t = CreateThread(nullptr, 0, &TakeAndLeaveTheLock, nullptr, 0, nullptr);
  bool done = WaitForSingleObject(t, 60000) == WAIT_OBJECT_0;  // ends at once unless the lock is held
  CloseHandle(t);
  return done;
}

TEST_F(CrashFilterTest, FaultInHandlerClosesTheLogLeavesTheLockAndKeepsSymbols) {
  DeleteFileW(TempLog().c_str());
  ASSERT_TRUE(SetCrashHandler(&FaultWhileHoldingLogAndLock));
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, Filter(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_TRUE(SymbolHandlerIsSetUp()) << "a faulting handler leaves the symbol handler set up";
  Optional().symCleanup(GetCurrentProcess());
  EXPECT_FALSE(TheCrashLock().IsLocked());
  EXPECT_TRUE(OtherThreadCanTakeTheLock());
  // Only a closed file can be opened without sharing.
  HANDLE exclusive = CreateFileW(TempLog().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "the log is still open (error " << GetLastError() << ")";
  CloseHandle(exclusive);
  std::string bytes;
  ruxtrap_test::ReadWholeFile(TempLog(), &bytes);
  EXPECT_EQ("partial report\r\n", bytes);
  DeleteFileW(TempLog().c_str());
  // The next crash goes through the same filter again.
  ASSERT_TRUE(SetCrashHandler(&ReturnOneInsideTheLock));
  EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, Filter(EXCEPTION_ACCESS_VIOLATION));
}

TEST_F(CrashFilterTest, UnreadablePointersAreTakenByTheGuard) {
  ASSERT_TRUE(SetCrashHandler(&CountCalls));
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, CrashFilter(reinterpret_cast<EXCEPTION_POINTERS*>(16)));
}

TEST_F(CrashFilterTest, InstallationSaysOkOncePerCallAndInstallsOnce) {
  InstallCrashReporter();
  InstallCrashReporter();
  EXPECT_EQ((std::vector<std::string>{"Ruxtrap Set Handler OK!\r\n", "Ruxtrap Set Handler OK!\r\n"}), rec.debugA);
  ASSERT_EQ(1u, rec.filtersSet.size());
  EXPECT_EQ(&CrashFilter, rec.filtersSet[0]);
  EXPECT_EQ(&WriteCrashReport, InstalledCrashHandler());
  RestorePreviousFilter();
  RestorePreviousFilter();  // the second has nothing to restore
  ASSERT_EQ(2u, rec.filtersSet.size());
  EXPECT_EQ(&HostFilter, rec.filtersSet[1]);
}

// A handler that is no code of a loaded module (data, or a function whose
// library is gone) is refused, and nothing is installed.
TEST_F(CrashFilterTest, HandlerThatIsNoLoadedCodeIsRefused) {
  static BYTE data[16];
  EXPECT_FALSE(SetCrashHandler(reinterpret_cast<CrashHandler>(static_cast<void*>(data))));
  EXPECT_FALSE(SetCrashHandler(HandlerOfAnUnloadedLibrary()));
  EXPECT_FALSE(SetCrashHandler(nullptr));
  EXPECT_TRUE(rec.filtersSet.empty());
  EXPECT_EQ(nullptr, InstalledCrashHandler());
}

TEST(CrashLockTest, GuardHoldsAndLeavesAndDestroyedLockIsHarmless) {
  CrashLock lock;
  EXPECT_FALSE(lock.IsLocked());
  {
    CrashLockGuard guard(lock);
    EXPECT_TRUE(lock.IsLocked());
    CrashLockGuard again(lock);  // re-entrant on one thread
  }
  EXPECT_FALSE(lock.IsLocked());
  lock.~CrashLock();
  lock.Enter();  // after unload: no section, no fault
  lock.Leave();
  EXPECT_FALSE(lock.IsLocked());
  new (&lock) CrashLock();
}

}  // namespace
}  // namespace ruxtrap
