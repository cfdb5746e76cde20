#include "support/report_progress.h"

namespace ruxtrap {

namespace {
// GetTickCount of the last step; 0 before the first.
volatile LONG lastProgress = 0;
// The watched file and the low half of its size when last seen grown.
HANDLE volatile watchedFile = nullptr;
volatile LONG watchedSize = 0;
// The long step in progress: its start (a GetTickCount value) and bound;
// a bound of 0 when there is none.
volatile LONG longStepStart = 0;
volatile LONG longStepBound = 0;

// Read by the waiting threads: several may see the same growth and each
// note it, which changes nothing.
void NoteWatchedFileGrowth() {
  HANDLE file = watchedFile;
  LARGE_INTEGER size;
  if (file == nullptr || !GetFileSizeEx(file, &size)) return;
  const LONG low = static_cast<LONG>(size.LowPart);
  if (InterlockedExchange(&watchedSize, low) != low) NoteReportProgress();
}
}  // namespace

void NoteReportProgress() { InterlockedExchange(&lastProgress, static_cast<LONG>(GetTickCount())); }

void WatchFileForReportProgress(HANDLE file) {
  watchedSize = 0;
  watchedFile = file;
}

void BeginLongStep(DWORD boundMs) {
  NoteReportProgress();
  InterlockedExchange(&longStepStart, static_cast<LONG>(GetTickCount()));
  InterlockedExchange(&longStepBound, static_cast<LONG>(boundMs));
}

void EndLongStep() {
  InterlockedExchange(&longStepBound, 0);
  NoteReportProgress();
}

bool ReportHasStalled(DWORD waitingSince) {
  NoteWatchedFileGrowth();
  const DWORD now = GetTickCount();
  return StalledAt(now, static_cast<DWORD>(lastProgress), waitingSince, static_cast<DWORD>(longStepStart),
                   static_cast<DWORD>(longStepBound));
}

// Tick differences stay right across the counter's wrap every 49.7 days.
bool StalledAt(DWORD now, DWORD lastProgress, DWORD waitingSince, DWORD longStepStart, DWORD longStepBound) {
  if (longStepBound != 0 && now - longStepStart < longStepBound) return false;
  const DWORD sinceStep = now - lastProgress;
  const DWORD waited = now - waitingSince;
  return (sinceStep < waited ? sinceStep : waited) >= kReportStallMs;
}

}  // namespace ruxtrap
