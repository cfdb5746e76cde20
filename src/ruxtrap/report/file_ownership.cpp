#include "report/file_ownership.h"

#include <string.h>
#include <wchar.h>

#include "support/crash_lock.h"
#include "support/optional_calls.h"
#include "support/scoped.h"

namespace ruxtrap {

namespace {

// The accounts whose files this process may take as its own: the token's
// user, and its default owner (an elevated administrator's new files belong
// to the Administrators group). Empty entries match nothing.
BYTE accountSids[2][SECURITY_MAX_SID_SIZE];

void ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, BYTE (&out)[SECURITY_MAX_SID_SIZE]) {
  memset(out, 0, sizeof(out));
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  if (!GetTokenInformation(token, kind, &info, sizeof(info), &size)) return;
  PSID sid = kind == TokenUser ? info.user.User.Sid : info.owner.Owner;
  if (IsValidSid(sid)) CopySid(sizeof(out), out, sid);
}

// Read aside, then published under the report lock (see crash_lock.h).
void ResolveAccount() {
  BYTE sids[2][SECURITY_MAX_SID_SIZE] = {};
  ScopedKernelHandle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
    ReadTokenSid(token.Get(), TokenUser, sids[0]);
    ReadTokenSid(token.Get(), TokenOwner, sids[1]);
  }
  PublishUnlessReporting([&sids] { memcpy(accountSids, sids, sizeof(accountSids)); });
}

bool IsOwnAccount(PSID owner) {
  for (BYTE* sid : {accountSids[0], accountSids[1]})
    if (IsValidSid(sid) && EqualSid(owner, sid)) return true;
  return false;
}

// Without GetFinalPathNameByHandleW (before Vista) the name is taken as it is.
bool IsOpenedAt(HANDLE file, const wchar_t* expected) {
  auto finalPathOf = Optional().getFinalPathNameByHandleW;
  if (finalPathOf == nullptr) return true;
  wchar_t path[MAX_PATH];
  DWORD n = finalPathOf(file, path, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return n > 0 && n < MAX_PATH && _wcsicmp(path, expected) == 0;
}

}  // namespace

void ResolveFileOwnership() { ResolveAccount(); }

// Reads the owner into a buffer of its own.
bool IsOwnSoleFileAt(HANDLE file, const wchar_t* path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsOpenedAt(file, path))
    return false;
  alignas(8) BYTE descriptor[512];
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &needed))
    return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr && IsOwnAccount(owner);
}

}  // namespace ruxtrap
