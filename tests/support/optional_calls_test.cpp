// The table of optional system calls: bound once, then read-only.
#include "support/optional_calls.h"

#include <gtest/gtest.h>

#include "support/fault_guard.h"

namespace ruxtrap {
namespace {

TEST(OptionalCalls, BoundFromEveryDllAndSealed) {
  BindOptionalCalls();
  const OptionalCalls& calls = Optional();
  EXPECT_NE(nullptr, calls.ldrLockLoaderLock) << "NTDLL";
  EXPECT_NE(nullptr, calls.getFinalPathNameByHandleW) << "KERNEL32";
  EXPECT_NE(nullptr, calls.enumProcessModules) << "PSAPI";
  EXPECT_NE(nullptr, calls.coCreateInstance) << "OLE32";
  EXPECT_NE(nullptr, calls.variantClear) << "OLEAUT32";
  EXPECT_NE(nullptr, calls.stackWalk64) << "DBGHELP";
  EXPECT_NE(nullptr, calls.miniDumpWriteDump) << "DBGHELP";

  MEMORY_BASIC_INFORMATION region = {};
  ASSERT_NE(0u, VirtualQuery(&calls, &region, sizeof(region)));
  EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), region.Protect);
  auto* entry = const_cast<decltype(calls.stackWalk64)*>(&calls.stackWalk64);
  EXPECT_FALSE(RunGuarded([entry] { *static_cast<decltype(calls.stackWalk64) volatile*>(entry) = nullptr; }))
      << "a write into the sealed table faults";
  EXPECT_NE(nullptr, calls.stackWalk64);
}

}  // namespace
}  // namespace ruxtrap
