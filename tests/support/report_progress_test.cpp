// When a waiting thread takes the report for stalled: no step for the bound
// and a wait as long, a long step's own bound first, across the tick
// counter's wrap.
#include <gtest/gtest.h>
#include <windows.h>

#include "support/report_progress.h"

namespace ruxtrap {
namespace {

constexpr DWORD kBound = kReportStallMs;

TEST(ReportStall, NeedsNoStepAndAWaitBothAsLongAsTheBound) {
  const DWORD now = 5000000;
  EXPECT_TRUE(StalledAt(now, now - kBound, now - kBound, 0, 0));
  EXPECT_FALSE(StalledAt(now, now - kBound + 1, now - kBound, 0, 0)) << "a step a moment ago";
  EXPECT_FALSE(StalledAt(now, now - kBound, now - kBound + 1, 0, 0)) << "a thread that has just begun to wait";
  EXPECT_TRUE(StalledAt(now, 0, now - kBound, 0, 0)) << "no step yet";
}

// GetTickCount wraps to 0 every 49.7 days; the differences stay right.
TEST(ReportStall, AcrossTheTickCountersWrap) {
  const DWORD now = 0x100;
  const DWORD bound = 600000;
  EXPECT_TRUE(StalledAt(now, now - kBound, now - kBound, 0, 0));
  EXPECT_FALSE(StalledAt(now, 0xFFFFFF00, now - kBound, 0, 0)) << "a step 512 ms before now, before the wrap";
  EXPECT_FALSE(StalledAt(now, now - kBound, 0xFFFFFF00, 0, 0)) << "a wait since 512 ms before now";
  EXPECT_FALSE(StalledAt(now, now - kBound, now - kBound, now - bound + 1, bound)) << "a long step begun before";
  EXPECT_TRUE(StalledAt(now, now - kBound, now - kBound, now - bound, bound)) << "a long step past its bound";
}

// A long step (a dump written in one call) holds the stall off until its
// own bound has passed, however long ago the last step was; then the rest
// decides.
TEST(ReportStall, ALongStepHoldsItOffUntilItsBound) {
  const DWORD now = 5000000;
  const DWORD bound = 600000;
  EXPECT_FALSE(StalledAt(now, now - bound, now - bound, now - 1000, bound));
  EXPECT_FALSE(StalledAt(now, now - bound, now - bound, now - bound + 1, bound));
  EXPECT_TRUE(StalledAt(now, now - bound, now - bound, now - bound, bound));
  EXPECT_FALSE(StalledAt(now, now - 1000, now - bound, now - bound, bound)) << "past its bound, a recent step";
}

// The real clock: right after a step the report is moving, however long
// the caller has waited; a long step's begin and end are steps too.
TEST(ReportStall, ReportHasStalledReadsTheClockAndTheLastStep) {
  NoteReportProgress();
  EXPECT_FALSE(ReportHasStalled(GetTickCount() - 2 * kBound));
  BeginLongStep(1000);
  EXPECT_FALSE(ReportHasStalled(GetTickCount() - 2 * kBound));
  EndLongStep();
  EXPECT_FALSE(ReportHasStalled(GetTickCount() - 2 * kBound));
}

}  // namespace
}  // namespace ruxtrap
