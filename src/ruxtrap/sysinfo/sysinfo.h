// The description of the machine at the head of every report.
#pragma once

#include <windows.h>

#include "loader_hold/loader_hold.h"

namespace ruxtrap {

// Writes the system section, opened and closed by a 90-character separator,
// to the log. Runs under the report lock; hold tells whether the queries
// that wait for the loader lock may be made.
void WriteSystemInfo(HANDLE log, LoaderLockHold& hold);

// The short name of the Windows version that follows "Microsoft Windows ".
const wchar_t* OsVersionName(const OSVERSIONINFOEXW& record);

// The installed DirectX version from the system's DxDiag provider: S_OK when
// major, minor and letter were all found (null out pointers are skipped),
// E_FAIL otherwise.
HRESULT QueryDirectXVersion(DWORD* major, DWORD* minor, wchar_t* letter);

}  // namespace ruxtrap
