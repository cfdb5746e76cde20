/* A host with CodeView debug information in a PDB, as applications of the
 * Microsoft toolchain ship, linked against Ruxtrap.lib. */
#include <ruxtrap.h>

__declspec(noinline) static void CrashInPdbHost(void) {
  volatile int* volatile target = 0;
  *target = 7; /* the fault */
}

int main(void) {
  InitRuxtrap("pdb host");
  CrashInPdbHost();
  return 0;
}
