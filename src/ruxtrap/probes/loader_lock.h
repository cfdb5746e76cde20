// What can be seen of the process's loader lock and the loader's list of
// modules without waiting for anything.
#pragma once

#include <windows.h>
// windows.h first
#include <winternl.h>

namespace ruxtrap {

// The last entry of the loader's list of modules: it changes with every
// module loaded or unloaded. One aligned pointer, read without the lock.
const void* LastLoadedModule();

// Calls visit(module, its base name) for each module the loader's list holds,
// in load order, under the loader lock (waiting for it: never in a crash).
// Reading the list costs nothing per module, unlike asking the loader for
// names one by one.
void ForEachLoadedModule(void (*visit)(HMODULE module, const UNICODE_STRING& baseName));

// Whether the calling thread holds the loader lock (taken by itself or by
// the loader it runs under).
bool ThisThreadHoldsLoaderLock();

}  // namespace ruxtrap
