// Calls the export through the import library, then writes through a null
// pointer: the report must name this function and the line of the store.
#include <windows.h>

#include <ruxtrap.h>

namespace {

__attribute__((noinline)) void CrashThroughImportLibrary() {
  volatile int* volatile target = nullptr;
  *target = 1;  // the fault
}

}  // namespace

int main() {
  InitRuxtrap("consumer");
  CrashThroughImportLibrary();
  return 0;
}
