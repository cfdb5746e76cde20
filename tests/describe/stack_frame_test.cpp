// Call-stack lines and the walk's end conditions, on a scripted stack walker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "describe/fake_symbols.h"

namespace ruxtrap {
namespace {

const FakeSymbols::Frame kDrawFrame = {0x6D31A2F4, 0x12FF60, 0x12FF40, {1, 0x12FF60, 0x6D310000, 0}};

FakeSymbols::Frame FrameAt(DWORD i, DWORD pc = 0x6D31A000) {
  return {pc + i, 0x12FF00u + 0x20 * i, 0x12FE00u + 0x20 * i, {i, 0, 0, 0}};
}

class StackFrameTest : public ::testing::Test {
 protected:
  StackFrameTest() {
    context_.SegCs = 0x1B;
    context_.Eip = 0x6D31A2F4;
    context_.Ebp = 0x12FF60;
    context_.Esp = 0x12FF40;
    context_.Eax = 0xABCDEF;
    fake.lineDisplacement = 4;
  }
  // The frames' addresses: what the walk tests look at.
  std::wstring First() { return Head(Text(FirstStackFrame(&pointers_, scope_.symbols))); }
  std::wstring Next() { return Head(Text(NextStackFrame(scope_.symbols))); }
  static std::wstring Text(const wchar_t* line) { return line ? std::wstring(line) : L"<null>"; }
  static std::wstring Head(const std::wstring& line) { return line == L"<null>" ? line : line.substr(0, 13); }
  std::wstring OneFrame() {
    fake.frames = {kDrawFrame};
    fake.nextFrame = 0;
    return Text(FirstStackFrame(&pointers_, scope_.symbols));
  }
  FakeSymbolScope scope_;
  EXCEPTION_RECORD record_ = {};
  CONTEXT context_ = {};
  EXCEPTION_POINTERS pointers_ = {&record_, &context_};
};

TEST_F(StackFrameTest, FrameLineHoldsEveryDetail) {
  const std::wstring params = L" (0x00000001 0x0012FF60 0x6D310000 0x00000000)";
  EXPECT_EQ(L"001B:6D31A2F4" + params + L" lib.dll, Draw()+0036 byte(s), c:\\src\\draw.inc, line 0214+0004 byte(s)",
            OneFrame());
  EXPECT_EQ(kDrawFrame.pc, fake.symbolRecordAddress) << "a frame's lookup starts from its address";

  fake.symbolDisplacement = 0;
  fake.lineDisplacement = 0;
  EXPECT_EQ(L"001B:6D31A2F4" + params + L" lib.dll, Draw , c:\\src\\draw.inc, line 0214", OneFrame());
  fake.hasSymbol = false;
  EXPECT_EQ(L"001B:6D31A2F4" + params + L" lib.dll", OneFrame()) << "no symbol: no source line either";
  fake.hasSymbol = true;
  fake.hasLine = false;
  EXPECT_EQ(L"001B:6D31A2F4" + params + L" lib.dll, Draw ", OneFrame());
  fake.moduleName = L"";
  EXPECT_EQ(L"001B:6D31A2F4" + params + L" , Draw ", OneFrame()) << "an unnamed module keeps its blank";
}

TEST_F(StackFrameTest, BareSymbolEndsTheFrameLine) {
  fake.symbol = std::string(995, 's');
  fake.moduleName = std::wstring(600, L'n');
  fake.lineLookups = 0;
  std::wstring line = OneFrame();
  size_t comma = line.find(L",s");
  ASSERT_NE(std::wstring::npos, comma);
  EXPECT_EQ(std::wstring(995, L's'), line.substr(comma + 1)) << "bare: no blank, no parentheses, no offset";
  EXPECT_EQ(0, fake.lineLookups);
}

TEST_F(StackFrameTest, WalkSeedsFromTheContextAndStopsAtCodeInNoModule) {
  fake.frames = {FrameAt(0), FrameAt(1), FrameAt(2), FrameAt(3)};
  EXPECT_NE(L"<null>", First());
  EXPECT_EQ(context_.Eip, fake.seededFrame.AddrPC.Offset);
  EXPECT_EQ(context_.Ebp, fake.seededFrame.AddrFrame.Offset);
  EXPECT_EQ(context_.Esp, fake.seededFrame.AddrStack.Offset);
  EXPECT_EQ(AddrModeFlat, fake.seededFrame.AddrPC.Mode);
  EXPECT_EQ(0, fake.seededFrame.AddrPC.Segment);
  EXPECT_EQ(0xABCDEFu, fake.seededContext.Eax) << "the walker gets a copy of the context";
  EXPECT_EQ(L"001B:6D31A001", Next());
  EXPECT_EQ(L"001B:6D31A002", Next());
  fake.moduleBase = 0;  // the fourth frame's code lies in no module
  EXPECT_EQ(L"<null>", Next());
  fake.moduleBase = 0x6D310000;
  EXPECT_EQ(L"<null>", Next()) << "the walker has no more frames";
}

TEST_F(StackFrameTest, FramePointerZeroGivesNoLine) {
  fake.frames = {FrameAt(0), {0x6D31A100, 0, 0x12FF80, {}}};
  First();
  EXPECT_EQ(L"<null>", Next());
}

TEST_F(StackFrameTest, FirstFrameInNoModuleStillLetsTheWalkGoOn) {
  fake.frames = {FrameAt(0), FrameAt(1)};
  fake.moduleBase = 0;
  EXPECT_EQ(L"<null>", First());
  fake.moduleBase = 0x6D310000;
  EXPECT_EQ(L"001B:6D31A001", Next());
}

TEST_F(StackFrameTest, FirstAgainRestartsTheWalk) {
  fake.frames = {FrameAt(0), FrameAt(1)};
  First();
  Next();
  fake.nextFrame = 0;
  fake.walkerCalls = 0;
  context_.Eip = 0x6D31A000;
  EXPECT_EQ(L"001B:6D31A000", First());
  EXPECT_EQ(0x6D31A000u, fake.seededFrame.AddrPC.Offset);
}

TEST_F(StackFrameTest, BrokenChainThatRepeatsAFrameEnds) {
  fake.frames = {FrameAt(0), FrameAt(1)};
  fake.repeatLastFrame = true;
  EXPECT_NE(L"<null>", First());
  EXPECT_NE(L"<null>", Next());
  EXPECT_EQ(L"<null>", Next()) << "the same frame again is no progress";
  int calls = fake.walkerCalls;
  EXPECT_EQ(L"<null>", Next());
  EXPECT_EQ(calls, fake.walkerCalls) << "an ended walk asks the walker no more";
}

TEST_F(StackFrameTest, EndlessChainStopsAtTheDepthBound) {
  fake.endlessDistinctFrames = true;
  int lines = First() != L"<null>" ? 1 : 0;
  while (Next() != L"<null>") ++lines;
  EXPECT_EQ(kMaxStackFrames, lines);
}

TEST_F(StackFrameTest, UnreadablePointersLeaveTheWalkAlone) {
  fake.frames = {FrameAt(0), FrameAt(1), FrameAt(2)};
  First();
  EXPECT_EQ(nullptr, FirstStackFrame(nullptr, scope_.symbols));
  EXPECT_EQ(nullptr, FirstStackFrame(reinterpret_cast<EXCEPTION_POINTERS*>(0x40), scope_.symbols));
  EXPECT_EQ(L"001B:6D31A001", Next()) << "the walk in progress goes on";
}

}  // namespace
}  // namespace ruxtrap
