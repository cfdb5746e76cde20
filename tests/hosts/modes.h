// The tables of modes of each area, and what the hosts' options call in them.
#pragma once

#include "host.h"

// crash_host's areas.
extern const ModeTable kFaultModes;        // faults.cpp: plain faults, exceptions, frames the walk must read
extern const ModeTable kStackModes;        // stacks.cpp: stack overflows, little stack left, a stack of the program's own
extern const ModeTable kModuleModes;       // modules.cpp: faults in and through other modules, code without a module
extern const ModeTable kThreadModes;       // threads.cpp: faults on workers, many at once, several processes at once
extern const ModeTable kLoaderLockModes;   // loader_lock.cpp: the loader lock held, taken, busy
extern const ModeTable kHeapModes;         // heap.cpp: a heap already corrupt

// hostile_host's: what deployed programs do around their crashes.
extern const ModeTable kHostileModes;      // hostile.cpp

// ends_host's: the C runtimes' own ends.
extern const ModeTable kRuntimeEndModes;   // runtime_ends.cpp

// --load-many N (modules.cpp): loads N copies of many_lib.dll from the host's
// folder's many\, as a large program has a few hundred modules loaded, at
// most kMostManyCopies. Returns 0, or 5 when one cannot be loaded.
constexpr int kMostManyCopies = 999;
int LoadMany(int count);

// The benchmark's filters (platform_walk.cpp): --own-filter sets a filter
// that only ends the process; --platform-walk sets one that does what a
// report cannot do without, asked of the platform alone.
void SetEndProcessFilter();
void SetPlatformWalkFilter();

// --load-ucrt and --own-sigabrt (runtime_ends.cpp).
void LoadUcrt();
void SetOwnAbortHandler();
