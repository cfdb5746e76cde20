#include "support/fault_guard.h"
#include "support/thread_block.h"

#include <gtest/gtest.h>

#include <vector>

namespace ruxtrap {
namespace {

EXCEPTION_REGISTRATION_RECORD* ChainHead() { return ThreadInfoBlock()->ExceptionList; }

__attribute__((noinline)) void WriteNull() {
  volatile int* volatile p = nullptr;
  *p = 1;
}

__attribute__((noinline)) int Divide(volatile int divisor) {
  volatile int quotient = 100 / divisor;
  return quotient;
}

TEST(FaultGuard, NormalReturnRunsNoReleaseAndRestoresTheChain) {
  auto* before = ChainHead();
  int released = 0;
  bool ran = false;
  FaultInfo fault;
  bool ok = RunGuarded(
      [&] {
        FaultRelease r([](void* n) { ++*static_cast<int*>(n); }, &released);
        EXPECT_NE(ChainHead(), before);
        ran = true;
      },
      &fault);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(ran);
  EXPECT_EQ(0, released);
  EXPECT_EQ(before, ChainHead());
}

TEST(FaultGuard, TakesProcessorFaultsAndRaisedExceptions) {
  struct Case {
    void (*crash)();
    DWORD code;
  } cases[] = {
      {[] { WriteNull(); }, EXCEPTION_ACCESS_VIOLATION},
      {[] { Divide(0); }, EXCEPTION_INT_DIVIDE_BY_ZERO},
      {[] { RaiseException(0xE06D7363, 0, 0, nullptr); }, 0xE06D7363},
      {[] { RaiseException(0xE0000001, EXCEPTION_NONCONTINUABLE, 0, nullptr); }, 0xE0000001},
  };
  for (const Case& c : cases) {
    auto* before = ChainHead();
    FaultInfo fault;
    EXPECT_FALSE(RunGuarded([&] { c.crash(); }, &fault));
    EXPECT_EQ(c.code, fault.code);
    EXPECT_EQ(before, ChainHead()) << "the guard's record must be off the chain after a fault";
  }
}

TEST(FaultGuard, ReleasesRunNewestFirstOnFaultOnly) {
  std::vector<int> order;
  struct Tag {
    std::vector<int>* order;
    int id;
  } a{&order, 1}, b{&order, 2}, c{&order, 3};
  auto push = [](void* t) {
    auto* tag = static_cast<Tag*>(t);
    tag->order->push_back(tag->id);
  };
  EXPECT_FALSE(RunGuarded([&] {
    FaultRelease ra(push, &a);
    {
      FaultRelease rb(push, &b);  // gone before the fault: must not run
    }
    FaultRelease rc(push, &c);
    WriteNull();
  }));
  EXPECT_EQ((std::vector<int>{3, 1}), order);
}

TEST(FaultGuard, InnerGuardTakesTheFaultAndOuterGoesOn) {
  int outerReleased = 0, innerReleased = 0;
  bool innerResult = true, afterInner = false;
  bool outer = RunGuarded([&] {
    FaultRelease ro([](void* n) { ++*static_cast<int*>(n); }, &outerReleased);
    innerResult = RunGuarded([&] {
      FaultRelease ri([](void* n) { ++*static_cast<int*>(n); }, &innerReleased);
      WriteNull();
    });
    afterInner = true;
  });
  EXPECT_TRUE(outer);
  EXPECT_FALSE(innerResult);
  EXPECT_TRUE(afterInner);
  EXPECT_EQ(1, innerReleased);
  EXPECT_EQ(0, outerReleased);
}

TEST(FaultGuard, ReleaseOutsideAnyGuardDoesNothing) {
  int released = 0;
  { FaultRelease r([](void* n) { ++*static_cast<int*>(n); }, &released); }
  EXPECT_EQ(0, released);
}

TEST(FaultGuard, WorksAgainAfterManyFaults) {
  int taken = 0;
  for (int i = 0; i < 200; ++i) taken += RunGuarded([] { WriteNull(); }) ? 0 : 1;
  EXPECT_EQ(200, taken);
}

}  // namespace
}  // namespace ruxtrap
