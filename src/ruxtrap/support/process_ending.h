// Whether the process is ending (not just unloading the library).
//
// Told by the module's detach hook: the unload actions then free nothing and
// put nothing back. Memory and the top-level filter go with the process, and
// a damaged heap (the crash may have been one) must not fault during detach,
// where a fault can replace the exit code.
#pragma once

namespace ruxtrap {

void NoteProcessEnding();
bool ProcessIsEnding();

}  // namespace ruxtrap
