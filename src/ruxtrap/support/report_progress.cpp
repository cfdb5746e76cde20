#include "support/report_progress.h"

namespace ruxtrap {

namespace {
// GetTickCount of the last step; 0 before the first.
volatile LONG lastProgress = 0;
}  // namespace

void NoteReportProgress() { InterlockedExchange(&lastProgress, static_cast<LONG>(GetTickCount())); }

// Tick differences stay right across the counter's wrap every 49.7 days.
bool ReportHasStalled(DWORD waitingSince) {
  const DWORD now = GetTickCount();
  const DWORD sinceStep = now - static_cast<DWORD>(lastProgress);
  const DWORD waited = now - waitingSince;
  return (sinceStep < waited ? sinceStep : waited) >= kReportStallMs;
}

}  // namespace ruxtrap
