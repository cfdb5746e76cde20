// Whether a dump file the platform wrote is whole: the platform's writer
// reports success for a dump it could not finish (a full disk cuts it
// short), and a dump cut short must not take a whole one's place.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Reads the open file's minidump header, its stream directory and its
// memory lists, and checks that every piece they point at lies within the
// file. Needs no heap; reads in bounded pieces.
bool IsWholeDump(HANDLE file);

}  // namespace ruxtrap
