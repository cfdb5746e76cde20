// The one reader of the report's layout that the end-to-end tests share:
// whether a log holds whole reports, and the lines a test looks at.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ruxtrap_test {

struct CrashRun;

extern const char kSep40[];  // 40 '=' and CRLF, as the log holds it

// Reads C:\CrashEvent.log's layout report by report: each must be whole
// (the system section with its tables, the summary line, the register block,
// the call-stack heading, its frame lines and the three closing empty lines)
// and follow the one before without anything in between. Returns the number
// of whole reports; problem says where the first one that is not whole
// breaks, and is empty when every report is whole.
int CountWholeReports(const std::string& log, std::string* problem);

// The first report's summary line ("... caused an ..."), or empty.
std::string SummaryLine(const std::string& log);
// The lines between the first report's call-stack heading and its closing
// blank lines (to the log's end where it has none).
std::vector<std::string> CallStackLines(const std::string& log);

// The value after "name=" in a line such as "EAX=00000001  EBX=...", read as hex.
bool ReadHexAfter(const std::string& text, const std::string& name, DWORD* value);

// Wide text in the ANSI code page, "?" for what it lacks: how the log shows it.
std::string Narrow(const std::wstring& text);

// Log lines split at CRLF; a last line without CRLF is kept.
std::vector<std::string> SplitLines(const std::string& text);
// Number of non-overlapping occurrences of needle.
int CountOf(const std::string& text, const std::string& needle);

// What every crash that ends with a report must leave: the host ended with
// the report's exit code, and its log holds exactly `reports` whole reports.
void ExpectWholeReports(const CrashRun& run, int reports);

}  // namespace ruxtrap_test
