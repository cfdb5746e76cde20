// Text of paths: joined within fixed buffers (no heap, so a crash may join
// them), and turned into the ANSI code page only when nothing is lost.
#pragma once

#include <windows.h>

#include <string.h>
#include <wchar.h>

namespace ruxtrap {

inline size_t Length(const char* text) { return strlen(text); }
inline size_t Length(const wchar_t* text) { return wcslen(text); }

// Appends tail to the string in out (capacity size). False, and out unchanged,
// when the whole of it does not fit.
template <class Char>
bool Append(Char* out, size_t size, const Char* tail) {
  size_t used = Length(out);
  size_t more = Length(tail);
  if (used + more >= size) return false;
  memcpy(out + used, tail, (more + 1) * sizeof(Char));
  return true;
}

// head and tail into out; empty, and false, when they do not fit.
template <class Char, size_t N>
bool Join(Char (&out)[N], const Char* head, const Char* tail) {
  out[0] = 0;
  if (Append(out, N, head) && Append(out, N, tail)) return true;
  out[0] = 0;
  return false;
}

// text in the ANSI code page, only if no character is lost on the way.
bool ToAnsiExactly(const wchar_t* text, char* out, int size);

// A folder's name in the ANSI code page: the name itself, else its short
// (8.3) name, which the file system makes of plain characters. False when
// neither fits, or the volume keeps no short names.
bool AnsiFolderName(const wchar_t* folder, char* out, int size);

}  // namespace ruxtrap
