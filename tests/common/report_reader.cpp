#include "common/report_reader.h"

#include <gtest/gtest.h>
#include <string.h>

#include "common/crash_run.h"

namespace ruxtrap_test {

const char kSep40[] = "========================================\r\n";

namespace {

bool StartsWith(const std::string& line, const char* prefix) { return line.compare(0, strlen(prefix), prefix) == 0; }

// Walks the lines of one report from at; returns false with the problem
// when a line is not the one the layout has there.
class ReportReader {
 public:
  ReportReader(const std::vector<std::string>& lines, size_t at) : lines_(lines), at_(at) {}
  size_t At() const { return at_; }
  std::string problem;

  bool Expect(const std::string& line) { return Take([&](const std::string& l) { return l == line; }, line); }
  bool ExpectPrefix(const char* prefix) { return Take([&](const std::string& l) { return StartsWith(l, prefix); }, prefix); }
  // Lines while they match; at least `least` of them.
  template <class Match>
  bool Rows(Match match, size_t least, const char* what) {
    size_t n = 0;
    while (at_ < lines_.size() && match(lines_[at_])) ++at_, ++n;
    if (n >= least) return true;
    problem = "line " + std::to_string(at_ + 1) + ": expected " + what;
    return false;
  }

 private:
  template <class Match>
  bool Take(Match match, const std::string& what) {
    if (at_ < lines_.size() && match(lines_[at_])) {
      ++at_;
      return true;
    }
    problem = "line " + std::to_string(at_ + 1) + ": expected \"" + what + "\", found \"" +
              (at_ < lines_.size() ? lines_[at_].substr(0, 80) : std::string("end of log")) + "\"";
    return false;
  }
  const std::vector<std::string>& lines_;
  size_t at_;
};

bool ReadOneReport(ReportReader& r) {
  const std::string sep90(90, '='), sep40(40, '=');
  auto isFrame = [](const std::string& l) { return StartsWith(l, "0023:") || StartsWith(l, "001B:"); };
  return r.Expect(sep90) && r.ExpectPrefix("[Started Time]:\t") && r.ExpectPrefix("[Crash Time]:\t") &&
         r.Expect(sep40) && r.Expect("\t\t\tSystem Infomation") && r.Expect(sep40) && r.ExpectPrefix("[CPU Nums]:") &&
         r.ExpectPrefix("[Processor]:") && r.ExpectPrefix("[Phys Memory]:\t") && r.ExpectPrefix("[Virt Memory]:\t") &&
         r.ExpectPrefix("[OS Ver]:") && r.ExpectPrefix("[Build]:") && r.ExpectPrefix("[Service pack]:") &&
         r.ExpectPrefix("[Display mode]:") &&
         r.Rows([](const std::string& l) { return StartsWith(l, "[DirectX Ver]:"); }, 0, "") && r.Expect(sep40) &&
         r.Expect("Letter\t\tTotal\t\tFree") && r.Expect(sep40) &&
         r.Rows([](const std::string& l) { return l.size() > 5 && l.compare(1, 4, ":\\:\t") == 0; }, 0, "") &&
         r.Expect(sep40) && r.Expect("\t\t\tAll Modules") && r.Expect(sep40) &&
         r.Rows([](const std::string& l) { return StartsWith(l, "0x") && l.find('\t') == 10; }, 0, "") &&
         r.Expect(sep90) &&
         r.Rows([](const std::string& l) { return l.find(" caused an ") != std::string::npos; }, 1, "the summary") &&
         r.ExpectPrefix("EAX=") && r.ExpectPrefix("EDI=") && r.ExpectPrefix("CS=") && r.Expect(sep40) &&
         r.Expect("\t\t\tCall Stack") && r.Expect(sep40) && r.Rows(isFrame, 0, "") && r.Expect("") &&
         r.Expect("") && r.Expect("");
}

}  // namespace

int CountWholeReports(const std::string& log, std::string* problem) {
  const std::vector<std::string> lines = SplitLines(log);
  problem->clear();
  int whole = 0;
  size_t at = 0;
  while (at < lines.size()) {
    ReportReader reader(lines, at);
    if (!ReadOneReport(reader)) {
      *problem = "report " + std::to_string(whole + 1) + ", " + reader.problem;
      break;
    }
    ++whole;
    at = reader.At();
  }
  return whole;
}

std::string SummaryLine(const std::string& log) {
  for (const std::string& line : SplitLines(log))
    if (line.find(" caused an ") != std::string::npos) return line;
  return "";
}

std::vector<std::string> CallStackLines(const std::string& log) {
  const std::string heading = std::string(kSep40) + "\t\t\tCall Stack\r\n" + kSep40;
  size_t start = log.find(heading);
  if (start == std::string::npos) return {};
  start += heading.size();
  size_t end = log.find("\r\n\r\n\r\n", start - 2);
  if (end == std::string::npos) end = log.size();
  return SplitLines(log.substr(start, end + 2 - start));
}

bool ReadHexAfter(const std::string& text, const std::string& name, DWORD* value) {
  size_t at = text.find(name + "=");
  if (at == std::string::npos) return false;
  *value = strtoul(text.c_str() + at + name.size() + 1, nullptr, 16);
  return true;
}

std::string Narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, "?", nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, "?", nullptr);
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

void ExpectWholeReports(const CrashRun& run, int reports) {
  ASSERT_TRUE(run.finished) << "the crashed host did not end";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  std::string problem;
  EXPECT_EQ(reports, CountWholeReports(run.log, &problem)) << problem;
  EXPECT_EQ("", problem);
}

}  // namespace ruxtrap_test
