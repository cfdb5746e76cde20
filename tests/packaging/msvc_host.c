/* A host compiled for the Microsoft ABI and linked by lld-link (which reads
 * libraries and writes PDBs as the Microsoft linker does) against Ruxtrap.lib.
 * Without a C runtime: HostStart is the entry point. */
#include <ruxtrap.h>

__declspec(noinline) static void CrashInMsvcHost(void) {
  volatile int* volatile target = 0;
  *target = 7; /* the fault */
}

void __stdcall HostStart(void) {
  InitRuxtrap("msvc host");
  CrashInMsvcHost();
}
