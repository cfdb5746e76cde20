// Loads the built Ruxtrap.dll into the test process and checks what loading,
// InitRuxtrap and unloading do to the process's top-level filter.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

using InitRuxtrapFn = void(WINAPI*)(const char*);

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

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

}  // namespace
