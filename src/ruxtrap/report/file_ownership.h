// Whether an existing file is one the library may write its script into:
// the process's account's own, under no other name, and no link. A file of
// another account may be rewritten by its owner between the write and the
// script host's read; a second name or a link makes it some other file,
// which would be overwritten.
#pragma once

#include <windows.h>

namespace ruxtrap {

// Notes the process's account and binds what the checks need. At
// InitRuxtrap, never in a crash.
void ResolveFileOwnership();

// Whether the open file is the account's own sole file, opened at path
// itself (under Wine a Unix symbolic link opens as its target, without the
// reparse attribute that marks a Windows link: the name the system ends at
// tells it apart). path is as the system names a final path,
// "\\?\c:\~tmp.vbs" say. Needs no heap: the crash may have damaged it.
bool IsOwnSoleFileAt(HANDLE file, const wchar_t* path);

}  // namespace ruxtrap
