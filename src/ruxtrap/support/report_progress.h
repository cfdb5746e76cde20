// Whether a report is still moving.
//
// A thread that crashes while another thread's report runs waits for that
// report, which ends the process. The report can be held up for good by the
// very thread that waits: a thread that faulted inside the heap's allocator
// still holds the heap's lock, and the report's next heap call waits for it.
// So the report notes every step it finishes, and a waiting thread that has
// seen no step for kReportStallMs ends the process in its place: the lines
// written so far are on disk, and a process that never ends would be worse.
//
// Limit: a report held up by a thread that did not crash (one that keeps a
// lock for good) has no thread to end it.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Far longer than any step of a report takes (the longest measured is the
// symbol handler's set-up, under a second); the waits that can be longer
// (another process's report on the log) note their own progress.
constexpr DWORD kReportStallMs = 30000;

// The report finished a step, or waits, bounded, for something outside it.
void NoteReportProgress();

// A step that cannot note progress itself (the platform writing a large
// file in one call) has its file watched: while it is, the file's growth
// counts as a step. Null ends the watch, which must end before the file is
// closed.
void WatchFileForReportProgress(HANDLE file);

// A step that may run long without any sign of progress (the platform
// writing a crash dump in one call, which may spend many seconds before its
// first byte) has a bound of its own: until boundMs after its start no
// waiting thread takes the report for stalled. EndLongStep ends it.
void BeginLongStep(DWORD boundMs);
void EndLongStep();

// Whether no step was noted for kReportStallMs while the caller has waited
// since waitingSince (a GetTickCount value) at least as long.
bool ReportHasStalled(DWORD waitingSince);

// The decision of ReportHasStalled, from GetTickCount values: now, the last
// step, the start of the caller's wait, and the long step in progress (its
// start, and its bound, 0 when there is none). Right across the counter's
// wrap every 49.7 days.
bool StalledAt(DWORD now, DWORD lastProgress, DWORD waitingSince, DWORD longStepStart, DWORD longStepBound);

}  // namespace ruxtrap
