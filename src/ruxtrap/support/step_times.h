// Where a report's time goes, measured inside the crash.
//
// Built with RUXTRAP_STEP_TIMES (the CMake option of the same name, off by
// default), each step of a report stamps the performance counter under its
// name, and the stamps are written to C:\ruxtrap-steps.txt just before the
// process ends; bench/run.sh reads them. Built without it, a stamp is no
// code at all: a report's liveness (report_progress.h) is noted where it
// makes progress, not here.
#pragma once

namespace ruxtrap {

#ifdef RUXTRAP_STEP_TIMES
// Marks the end of the step called name (a string that lives for ever).
void StampStep(const char* name);
// Writes every stamp as "name<TAB>counter" lines, after the counter's
// frequency. Called once, just before the process ends.
void WriteStepTimes();
#define RUXTRAP_STEP(name) ::ruxtrap::StampStep(name)
#define RUXTRAP_WRITE_STEP_TIMES() ::ruxtrap::WriteStepTimes()
#else
#define RUXTRAP_STEP(name) ((void)0)
#define RUXTRAP_WRITE_STEP_TIMES() ((void)0)
#endif

}  // namespace ruxtrap
