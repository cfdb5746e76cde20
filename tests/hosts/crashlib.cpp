// A DLL of the tests' own that faults when asked, so a report can be checked
// for a crash inside a library other than the executable.
#include <windows.h>

extern "C" __declspec(dllexport) void CrashInLibrary() {
  volatile int* volatile target = nullptr;
  *target = 3;
}
