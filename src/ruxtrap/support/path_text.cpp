#include "support/path_text.h"

namespace ruxtrap {

bool ToAnsiExactly(const wchar_t* text, char* out, int size) {
  BOOL lossy = FALSE;
  // UTF-8 as the ANSI code page holds every character, and takes no flags.
  bool utf8 = GetACP() == CP_UTF8;
  int n = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text, -1, out, size, nullptr,
                              utf8 ? nullptr : &lossy);
  return n > 0 && !lossy;
}

bool AnsiFolderName(const wchar_t* folder, char* out, int size) {
  if (ToAnsiExactly(folder, out, size)) return true;
  wchar_t shortName[MAX_PATH];
  DWORD n = GetShortPathNameW(folder, shortName, MAX_PATH);
  return n > 0 && n < MAX_PATH && ToAnsiExactly(shortName, out, size);
}

}  // namespace ruxtrap
