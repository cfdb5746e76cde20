#include "support/step_times.h"

#include <stdio.h>
#include <windows.h>

namespace ruxtrap {

namespace {
// A report 10000 frames deep stamps about six steps a frame; later stamps of
// a deeper one are dropped.
constexpr int kMostStamps = 65536;
struct Stamp {
  const char* name;
  LONGLONG counter;
};
Stamp stamps[kMostStamps];
int stampCount = 0;
}  // namespace

void StampStep(const char* name) {
  if (stampCount == kMostStamps) return;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  stamps[stampCount++] = {name, now.QuadPart};
}

void WriteStepTimes() {
  FILE* out = fopen("C:\\ruxtrap-steps.txt", "w");
  if (out == nullptr) return;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  fprintf(out, "frequency\t%lld\n", frequency.QuadPart);
  for (int i = 0; i < stampCount; ++i) fprintf(out, "%s\t%lld\n", stamps[i].name, stamps[i].counter);
  fclose(out);
}

}  // namespace ruxtrap
