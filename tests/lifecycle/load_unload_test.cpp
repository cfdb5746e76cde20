// Loads the built Ruxtrap.dll into the test process and checks what loading,
// InitRuxtrap and unloading do to the process's top-level filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <signal.h>

#include <string>

#include "common/crash_run.h"

namespace {

using InitRuxtrapFn = void(WINAPI*)(const char*);

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// The loaded module that holds code, or null.
HMODULE ModuleOf(const void* code) {
  HMODULE owner = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(code), &owner);
  return owner;
}


class LoadUnloadTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = SetUnhandledExceptionFilter(nullptr); }
  void TearDown() override { SetUnhandledExceptionFilter(saved_); }
  HMODULE Load() {
    HMODULE dll = LoadLibraryW(L"Ruxtrap.dll");
    EXPECT_NE(nullptr, dll);
    init_ = reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "InitRuxtrap")));
    EXPECT_NE(nullptr, init_);
    return dll;
  }
  LPTOP_LEVEL_EXCEPTION_FILTER saved_;
  InitRuxtrapFn init_ = nullptr;
};

TEST_F(LoadUnloadTest, UnloadPutsBackTheHostsFilter) {
  SetUnhandledExceptionFilter(&HostFilter);
  HMODULE dll = Load();
  EXPECT_EQ(&HostFilter, CurrentFilter()) << "loading alone installs nothing";
  init_("host");
  LPTOP_LEVEL_EXCEPTION_FILTER installed = CurrentFilter();
  EXPECT_NE(&HostFilter, installed);
  init_(nullptr);  // a second call keeps the one installation
  EXPECT_EQ(installed, CurrentFilter());
  FreeLibrary(dll);
  EXPECT_EQ(&HostFilter, CurrentFilter());
}

using AbortHandler = void(__cdecl*)(int);
void __cdecl HostAbortHandler(int) {}

AbortHandler CurrentAbortHandler() {
  AbortHandler current = signal(SIGABRT, SIG_DFL);
  signal(SIGABRT, current);
  return current;
}


// The process's C runtime (this test's own, msvcrt.dll): InitRuxtrap takes
// over its abort end only where the program has no handler, and unload
// gives it back only where it is still the library's.
TEST_F(LoadUnloadTest, RuntimeAbortEndTakenOverAndGivenBackOnlyWhereTheLibrarys) {
  signal(SIGABRT, SIG_DFL);
  HMODULE dll = Load();
  init_("");
  EXPECT_EQ(dll, ModuleOf(reinterpret_cast<const void*>(CurrentAbortHandler())));
  FreeLibrary(dll);
  EXPECT_EQ(SIG_DFL, CurrentAbortHandler()) << "given back at unload";

  signal(SIGABRT, &HostAbortHandler);
  dll = Load();
  init_("");
  EXPECT_EQ(&HostAbortHandler, CurrentAbortHandler()) << "the program's own handler stays";
  FreeLibrary(dll);
  EXPECT_EQ(&HostAbortHandler, CurrentAbortHandler());

  signal(SIGABRT, SIG_DFL);
  dll = Load();
  init_("");
  signal(SIGABRT, &HostAbortHandler);
  FreeLibrary(dll);
  EXPECT_EQ(&HostAbortHandler, CurrentAbortHandler()) << "a handler set after InitRuxtrap stays at unload";
  signal(SIGABRT, SIG_DFL);
}

// ucrtbase.dll, loaded before InitRuxtrap: its pure-call and invalid-
// parameter handlers are the library's until unload.
TEST_F(LoadUnloadTest, UcrtbaseHandlersTakenOverAndGivenBack) {
  HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
  ASSERT_NE(nullptr, ucrt);
  auto getPureCall = reinterpret_cast<void*(__cdecl*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(ucrt, "_get_purecall_handler")));
  auto getInvalidParameter = reinterpret_cast<void*(__cdecl*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(ucrt, "_get_invalid_parameter_handler")));
  ASSERT_TRUE(getPureCall != nullptr && getInvalidParameter != nullptr);
  HMODULE dll = Load();
  init_("");
  EXPECT_EQ(dll, ModuleOf(getPureCall()));
  EXPECT_EQ(dll, ModuleOf(getInvalidParameter()));
  FreeLibrary(dll);
  EXPECT_EQ(nullptr, getPureCall());
  EXPECT_EQ(nullptr, getInvalidParameter());
  FreeLibrary(ucrt);
}

TEST_F(LoadUnloadTest, ProcessWithoutFilterGetsNoneBack) {
  HMODULE dll = Load();
  init_("");
  EXPECT_NE(nullptr, CurrentFilter());
  FreeLibrary(dll);
  EXPECT_EQ(nullptr, CurrentFilter());
}

TEST_F(LoadUnloadTest, UnloadWithoutInitChangesNothing) {
  SetUnhandledExceptionFilter(&HostFilter);
  HMODULE dll = Load();
  FreeLibrary(dll);
  EXPECT_EQ(&HostFilter, CurrentFilter());
}

TEST_F(LoadUnloadTest, AnyArgumentGivesTheSameInstallation) {
  // The argument is never read: not even an unreadable pointer matters.
  const char* arguments[] = {nullptr, "crash host", reinterpret_cast<const char*>(1),
                             reinterpret_cast<const char*>(0xFFFFFFF0)};
  for (const char* argument : arguments) {
    SetUnhandledExceptionFilter(&HostFilter);
    HMODULE dll = Load();
    init_(argument);
    LPTOP_LEVEL_EXCEPTION_FILTER installed = CurrentFilter();
    HMODULE owner = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(installed), &owner);
    EXPECT_EQ(dll, owner) << "the installed filter is the library's";
    FreeLibrary(dll);
    EXPECT_EQ(&HostFilter, CurrentFilter());
  }
}

// The loader's record of a module (the x86 layout of its first fields).
struct LoaderEntry {
  LIST_ENTRY inLoadOrder, inMemoryOrder, inInitializationOrder;
  void* base;
  void* entryPoint;
};

LoaderEntry* LoaderEntryOf(HMODULE module) {
  BYTE* peb;
  __asm__("movl %%fs:0x30, %0" : "=r"(peb));
  BYTE* ldr = *reinterpret_cast<BYTE**>(peb + 0x0C);
  auto* head = reinterpret_cast<LIST_ENTRY*>(ldr + 0x0C);
  for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
    auto* entry = reinterpret_cast<LoaderEntry*>(e);
    if (entry->base == module) return entry;
  }
  return nullptr;
}

volatile LONG threadCalls = 0;
BOOL WINAPI CountingEntryPoint(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_THREAD_ATTACH || reason == DLL_THREAD_DETACH) InterlockedIncrement(&threadCalls);
  return TRUE;
}

DWORD WINAPI ShortThread(void*) { return 0; }

// Every thread's start and end would enter a DLL that gets thread
// notifications, under the loader lock. The loader calls the entry point its
// record holds: with the library's entry swapped for a counter, threads that
// start and end must not reach it.
TEST_F(LoadUnloadTest, ThreadsStartingAndEndingDoNotEnterTheLibrary) {
  HMODULE dll = Load();
  init_("host");
  LoaderEntry* entry = LoaderEntryOf(dll);
  ASSERT_NE(nullptr, entry);
  void* entryPoint = entry->entryPoint;
  entry->entryPoint = reinterpret_cast<void*>(&CountingEntryPoint);
  threadCalls = 0;
  for (int i = 0; i < 4; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, &ShortThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  entry->entryPoint = entryPoint;
  EXPECT_EQ(0, threadCalls);
  FreeLibrary(dll);
}

// Two copies of the library, each brought by a plug-in of its own: unloading
// the first keeps the second's filter, which was installed after it; the
// second, unloaded last, leaves no filter of the first behind.
TEST_F(LoadUnloadTest, UnloadKeepsAFilterInstalledAfterTheLibrarys) {
  const std::wstring folder = ruxtrap_test::BinFolder() + L"\\second-copy";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((ruxtrap_test::BinFolder() + L"\\Ruxtrap.dll").c_str(), (folder + L"\\Ruxtrap.dll").c_str(),
                        FALSE));
  SetUnhandledExceptionFilter(&HostFilter);
  HMODULE first = Load();
  init_("first plug-in");
  HMODULE second = LoadLibraryW((folder + L"\\Ruxtrap.dll").c_str());
  ASSERT_NE(nullptr, second);
  ASSERT_NE(first, second);
  auto initSecond = reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(second, "InitRuxtrap")));
  initSecond("second plug-in");
  LPTOP_LEVEL_EXCEPTION_FILTER secondFilter = CurrentFilter();
  FreeLibrary(first);
  EXPECT_EQ(secondFilter, CurrentFilter()) << "the second copy's filter stays";
  // The filter the second copy found is the first's, unloaded by now: it is
  // not put back, or the next crash would call into freed memory.
  FreeLibrary(second);
  LPTOP_LEVEL_EXCEPTION_FILTER left = CurrentFilter();
  EXPECT_TRUE(left == nullptr || ModuleOf(reinterpret_cast<const void*>(left)) != nullptr)
      << "a filter in unloaded code is in force";
}

// Two copies of the library (two plug-ins): the second takes the runtime's
// abort end over from the first, and whichever is unloaded first, the other
// keeps it while it is loaded.
TEST_F(LoadUnloadTest, TwoCopiesKeepTheAbortEndWhicheverGoesFirst) {
  const std::wstring folder = ruxtrap_test::BinFolder() + L"\\second-copy";
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((ruxtrap_test::BinFolder() + L"\\Ruxtrap.dll").c_str(), (folder + L"\\Ruxtrap.dll").c_str(),
                        FALSE));
  for (bool firstGoesFirst : {true, false}) {
    SCOPED_TRACE(firstGoesFirst ? "the first copy unloaded first" : "the second copy unloaded first");
    signal(SIGABRT, SIG_DFL);
    HMODULE first = Load();
    init_("first plug-in");
    HMODULE second = LoadLibraryW((folder + L"\\Ruxtrap.dll").c_str());
    ASSERT_NE(nullptr, second);
    reinterpret_cast<InitRuxtrapFn>(reinterpret_cast<void (*)()>(GetProcAddress(second, "InitRuxtrap")))("second");
    EXPECT_EQ(second, ModuleOf(reinterpret_cast<const void*>(CurrentAbortHandler())));
    FreeLibrary(firstGoesFirst ? first : second);
    HMODULE remaining = firstGoesFirst ? second : first;
    EXPECT_EQ(remaining, ModuleOf(reinterpret_cast<const void*>(CurrentAbortHandler())));
    FreeLibrary(remaining);
    EXPECT_EQ(SIG_DFL, CurrentAbortHandler());
  }
}

HANDLE startTogether;
InitRuxtrapFn sharedInit;
DWORD WINAPI InitWhenReleased(void*) {
  WaitForSingleObject(startTogether, INFINITE);
  sharedInit("thread");
  return 0;
}

TEST_F(LoadUnloadTest, InitFromManyThreadsAtOnceInstallsOnce) {
  startTogether = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (int round = 0; round < 50; ++round) {
    SetUnhandledExceptionFilter(&HostFilter);
    HMODULE dll = Load();
    sharedInit = init_;
    ResetEvent(startTogether);
    HANDLE threads[8];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, &InitWhenReleased, nullptr, 0, nullptr);
    SetEvent(startTogether);
    WaitForMultipleObjects(8, threads, TRUE, INFINITE);
    for (HANDLE t : threads) CloseHandle(t);
    EXPECT_NE(&HostFilter, CurrentFilter());
    FreeLibrary(dll);
    ASSERT_EQ(&HostFilter, CurrentFilter()) << "round " << round << ": the host's filter is back";
  }
  CloseHandle(startTogether);
}

// Open handles, counted by asking about every possible handle value (the
// platform's handle count is not available everywhere).
int OpenHandles() {
  int count = 0;
  DWORD flags;
  for (ULONG_PTR h = 4; h < 0x4000; h += 4) count += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) ? 1 : 0;
  return count;
}

SIZE_T CommittedBytes() {
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION info;
  for (BYTE* p = nullptr; VirtualQuery(p, &info, sizeof(info)) == sizeof(info); p += info.RegionSize) {
    if (info.State == MEM_COMMIT) total += info.RegionSize;
    if (p + info.RegionSize < p) break;
  }
  return total;
}

TEST_F(LoadUnloadTest, OddArgumentsAndRepeatedLoadsLeakNothing) {
  // An argument pointing into reserved memory that was never committed, and a 1 MB string.
  void* reserved = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  std::string huge(1 << 20, 'x');
  const char* arguments[] = {nullptr, static_cast<const char*>(reserved), huge.c_str()};
  auto cycle = [&](int times) {
    for (int i = 0; i < times; ++i) {
      SetUnhandledExceptionFilter(&HostFilter);
      HMODULE dll = Load();
      init_(arguments[i % 3]);
      FreeLibrary(dll);
      ASSERT_EQ(&HostFilter, CurrentFilter()) << "after unload " << i;
    }
  };
  cycle(20);  // the loader's own caches settle
  int handles = OpenHandles();
  SIZE_T committed = CommittedBytes();
  cycle(200);
  EXPECT_EQ(handles, OpenHandles());
  EXPECT_LT(CommittedBytes(), committed + 256 * 1024) << "committed memory grew with the loop";
  VirtualFree(reserved, 0, MEM_RELEASE);
}

}  // namespace
