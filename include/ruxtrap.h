/* Ruxtrap: crash reports for 32-bit Windows (x86) processes.
 *
 * Call InitRuxtrap once, early, from any thread. From then on, when a thread
 * dies of an unhandled exception, the library appends a report to
 * C:\CrashEvent.log, shows a message box that points at it and ends the
 * process with exit code -9876. Unloading the library puts back the
 * unhandled-exception filter that was in force before.
 *
 * Two ways to reach the export:
 *  - link an import library (libRuxtrap.dll.a for MinGW, Ruxtrap.lib for the
 *    Microsoft toolchain and lld) and call InitRuxtrap directly;
 *  - load Ruxtrap.dll at run time and look the export up under its plain
 *    name "InitRuxtrap" as an InitRuxtrapFn.
 *
 * The header includes nothing and is valid C89 and C++. */
#ifndef RUXTRAP_H
#define RUXTRAP_H

/* RUXTRAP_EXPORTS is defined only while the library itself is built; its
 * module-definition file, Ruxtrap.def, exports the function. */
#if defined(RUXTRAP_EXPORTS)
#define RUXTRAP_API
#else
#define RUXTRAP_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the crash handler. The argument is not read: any value, null
 * included, gives the same installation. Calling it again keeps the one
 * installation. The calling convention is the Windows API's (WINAPI). */
RUXTRAP_API void __stdcall InitRuxtrap(const char* hostArgument);

/* The export's type, for GetProcAddress(module, "InitRuxtrap"). */
typedef void(__stdcall* InitRuxtrapFn)(const char* hostArgument);

#ifdef __cplusplus
}
#endif

#endif /* RUXTRAP_H */
