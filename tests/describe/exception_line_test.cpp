// The summary line built on a symbol handler that answers what each test chooses.
#include <gtest/gtest.h>

#include <string>

#include "describe/fake_symbols.h"

namespace ruxtrap {
namespace {

class ExceptionLineTest : public ::testing::Test {
 protected:
  ExceptionLineTest() {
    record_.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record_.ExceptionAddress = reinterpret_cast<void*>(0x6D31A2F4);
    context_.SegCs = 0x1B;
  }
  std::wstring Line() {
    const wchar_t* line = DescribeException(&pointers_, scope_.symbols);
    EXPECT_EQ(ReportBuffer, line);
    return line ? std::wstring(line) : L"<null>";
  }
  FakeSymbolScope scope_;
  EXCEPTION_RECORD record_ = {};
  CONTEXT context_ = {};
  EXCEPTION_POINTERS pointers_ = {&record_, &context_};
};

const std::wstring kHead = L"app.exe caused an EXCEPTION_ACCESS_VIOLATION in module lib.dll at 001B:6D31A2F4";

TEST_F(ExceptionLineTest, ExampleLines) {
  EXPECT_EQ(kHead + L", Draw()+0036 byte(s), c:\\src\\draw.inc, line 0214+0004 byte(s)", Line());
  fake.symbolDisplacement = 0;
  fake.lineDisplacement = 0;
  EXPECT_EQ(kHead + L", Draw , c:\\src\\draw.inc, line 0214", Line());
  fake.symbolDisplacement = 36;
  fake.hasLine = false;
  EXPECT_EQ(kHead + L", Draw()+0036 byte(s)", Line());
  fake.hasSymbol = false;
  fake.hasLine = true;
  fake.lineLookups = 0;
  EXPECT_EQ(kHead, Line());
  EXPECT_EQ(0, fake.lineLookups) << "no symbol: no source line is looked up";
  fake.moduleBase = 0;
  EXPECT_EQ(L"app.exe caused an EXCEPTION_ACCESS_VIOLATION in module <UNKNOWN> at 001B:6D31A2F4", Line());
  EXPECT_EQ(0u, fake.symbolRecordAddress) << "the summary leaves the record's Address 0";
}

TEST_F(ExceptionLineTest, DisplacementsArePaddedToFourDigitsNeverCut) {
  fake.symbolDisplacement = 12345;
  fake.lineDisplacement = 7;
  fake.line = 123456;
  EXPECT_EQ(kHead + L", Draw()+12345 byte(s), c:\\src\\draw.inc, line 123456+0007 byte(s)", Line());
}

TEST_F(ExceptionLineTest, CodeNamesAndSystemMessages) {
  record_.ExceptionCode = 0xE06D7363;
  EXPECT_EQ(0u, Line().find(L"app.exe caused an Microsoft C++ Exception in module lib.dll"));
  record_.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
  EXPECT_EQ(0u, Line().find(L"app.exe caused an EXCEPTION_STACK_OVERFLOW in module"));
  EXPECT_EQ(nullptr, ExceptionCodeName(0xC0000007));
  EXPECT_EQ(nullptr, ExceptionCodeName(0));
  EXPECT_EQ(std::wstring(L"EXCEPTION_GUARD_PAGE"), ExceptionCodeName(0x80000001));
  // A code without a name takes the system's message as it stands.
  record_.ExceptionCode = 0xC0000017;
  fake.hasMessage = true;
  fake.message = L"{Not Enough Quota}\r\nNot enough %1.\r\n";
  EXPECT_EQ(0u, Line().find(L"app.exe caused an {Not Enough Quota}\r\nNot enough %1.\r\n in module lib.dll at "
                             L"001B:6D31A2F4, Draw()"));
  // Without either the code itself stands there.
  fake.hasMessage = false;
  EXPECT_EQ(0u, Line().find(L"app.exe caused an exception 0xC0000017 in module lib.dll at"));
}

TEST_F(ExceptionLineTest, HighAddressesWidenWithTheirSign) {
  record_.ExceptionAddress = reinterpret_cast<void*>(0x80001000);
  Line();
  ASSERT_EQ(1u, fake.moduleBaseQueries.size());
  EXPECT_EQ(0xFFFFFFFF80001000ull, fake.moduleBaseQueries[0]);
  EXPECT_NE(std::wstring::npos, Line().find(L" at 001B:80001000"));
}

TEST_F(ExceptionLineTest, NoExecutableNameStartsWithTheVerb) {
  fake.exeName = L"";
  EXPECT_EQ(0u, Line().find(L" caused an EXCEPTION_ACCESS_VIOLATION in module lib.dll"));
}

// The position after the comma of the symbol suffix, with an executable name of length n.
int CommaPosition(size_t exeLength) { return static_cast<int>(exeLength + kHead.size() - 7 + 1); }

TEST_F(ExceptionLineTest, SymbolThresholdAtAndOnePast) {
  fake.exeName = std::wstring(600, L'e');
  int position = CommaPosition(600);
  fake.symbol = std::string(1486 - position, 's');
  std::wstring at = Line();
  EXPECT_NE(std::wstring::npos, at.find(L", " + std::wstring(1486 - position, L's') + L"()+0036 byte(s), c:\\src"));
  fake.symbol += "s";
  fake.lineLookups = 0;
  std::wstring past = Line();
  EXPECT_EQ(static_cast<size_t>(position) + fake.symbol.size(), past.size()) << "bare, nothing after it";
  EXPECT_EQ(L"," + std::wstring(fake.symbol.size(), L's'), past.substr(position - 1));
  EXPECT_EQ(0, fake.lineLookups) << "a bare name ends the line: no source line";
}

// A name that passes its threshold goes in whole with what follows it, even
// where one formatting call would stop at 1024 characters.
TEST_F(ExceptionLineTest, FileNameThresholdAtAndOnePast) {
  std::wstring prefix = kHead + L", Draw()+0036 byte(s),";
  int position = static_cast<int>(prefix.size());
  fake.file = std::string(1738 - position, 'f');
  std::wstring at = Line();
  EXPECT_EQ(prefix + L" " + std::wstring(1738 - position, L'f') + L", line 0214+0004 byte(s)", at);
  fake.file += "f";
  EXPECT_EQ(prefix + std::wstring(1739 - position, L'f'), Line());
}

TEST_F(ExceptionLineTest, BareNameIsCutToTheRoomLeft) {
  fake.exeName = std::wstring(1400, L'e');
  fake.symbol = std::string(990, 's');
  std::wstring line = Line();
  EXPECT_EQ(2046u, line.size()) << "2046 - position characters and the terminator";
  EXPECT_EQ(L's', line.back());
  fake.exeName = std::wstring(1300, L'e');
  fake.symbol = "Draw";
  fake.file = std::string(100000, 'f');  // a file name far longer than the buffer
  line = Line();
  EXPECT_LE(line.size(), 2046u);
  EXPECT_EQ(L'f', line.back());
}

TEST_F(ExceptionLineTest, EveryPieceStaysInsideTheBuffer) {
  // A message that fills the room: nothing after it fits.
  record_.ExceptionCode = 0xC0000017;
  fake.hasMessage = true;
  fake.message = std::wstring(4000, L'm');
  std::wstring line = Line();
  EXPECT_EQ(2047u, line.size());
  EXPECT_EQ(L"app.exe caused an mmm", line.substr(0, 21));
  EXPECT_EQ(L'm', line.back());
  // A module name that takes all the room.
  fake.hasMessage = false;
  fake.moduleName = std::wstring(3000, L'n');
  line = Line();
  EXPECT_EQ(2047u, line.size());
  EXPECT_EQ(L'n', line.back());
  // An executable name that takes all of it.
  fake.exeName = std::wstring(3000, L'x');
  EXPECT_EQ(2047u, Line().size());
}

TEST_F(ExceptionLineTest, UnreadablePointersAndRecords) {
  wcscpy(ReportBuffer, L"kept");
  EXPECT_EQ(nullptr, DescribeException(nullptr, scope_.symbols));
  EXPECT_EQ(nullptr, DescribeException(reinterpret_cast<EXCEPTION_POINTERS*>(0x20), scope_.symbols));
  EXPECT_EQ(std::wstring(L"kept"), ReportBuffer);
  // Readable pointers to an unreadable record: the guard takes the fault.
  EXCEPTION_POINTERS bad = {reinterpret_cast<EXCEPTION_RECORD*>(0x30), &context_};
  EXPECT_EQ(nullptr, DescribeException(&bad, scope_.symbols));
  EXPECT_EQ(std::wstring(L"app.exe caused an "), ReportBuffer) << "what was built before the fault stays";
}

}  // namespace
}  // namespace ruxtrap
