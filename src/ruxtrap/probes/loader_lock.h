// The loader lock and the report.
//
// Many platform calls wait for the process's loader lock: they load or look
// up a module, or set up a part of the system on first use. A thread that
// holds the lock for good (a DllMain waiting for the crashed thread, say)
// would hang such a report for ever, and _exit too, which takes the lock to
// detach the DLLs. The crash filter takes the lock itself, waiting a short
// while for another thread to give it back, and keeps it for the report and
// the end of the process: a thread that starts loading a DLL after the crash
// then cannot hold up a later query or _exit. If another thread still holds
// the lock after the wait, the report leaves out what needs it (the symbol
// handler with the call stack, the display and DirectX lines, system
// messages) and ends the process without detaching. A thread that holds the
// lock itself can take it again, so its report stays whole.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Binds the loader's lock calls of NTDLL. At InitRuxtrap, never in a crash.
void BindLoaderLockProbe();

// Takes the loader lock, waiting at most waitMs for another thread to give it
// back, and keeps it until ReleaseTakenLoaderLock. False when another thread
// held it all along; true as well where the lock cannot be probed.
bool TakeLoaderLockWithin(DWORD waitMs);
// Gives back what TakeLoaderLockWithin took, if anything.
void ReleaseTakenLoaderLock();

// Whether the calling thread holds the loader lock (taken by itself or by
// the loader it runs under).
bool ThisThreadHoldsLoaderLock();

// Whether the report in progress may make calls that wait for the loader
// lock. True outside a report.
bool LoaderCallsAllowed();
void AllowLoaderCalls(bool allowed);

}  // namespace ruxtrap
