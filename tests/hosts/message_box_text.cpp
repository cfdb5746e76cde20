// Finds the crash notice the script host shows, a top-level window titled
// "Exception", prints the text of its static controls (the message) and
// presses its OK button. Waits up to the given seconds (default 30) for the
// box to appear; exit code 1 when none did.
//   message_box_text [SECONDS]
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

BOOL CALLBACK FindNotice(HWND window, LPARAM found) {
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (!IsWindowVisible(window) || wcscmp(title, L"Exception") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

BOOL CALLBACK PrintStaticText(HWND control, LPARAM) {
  wchar_t kind[16] = {}, text[512] = {};
  GetClassNameW(control, kind, 16);
  GetWindowTextW(control, text, 512);
  if (_wcsicmp(kind, L"Static") == 0 && text[0] != 0) wprintf(L"%ls\n", text);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int seconds = argc > 1 ? _wtoi(argv[1]) : 30;
  HWND notice = nullptr;
  for (int i = 0; i < seconds * 10 && notice == nullptr; ++i) {
    EnumWindows(&FindNotice, reinterpret_cast<LPARAM>(&notice));
    if (notice == nullptr) Sleep(100);
  }
  if (notice == nullptr) {
    fwprintf(stderr, L"message_box_text: no window \"Exception\" appeared\n");
    return 1;
  }
  EnumChildWindows(notice, &PrintStaticText, 0);
  PostMessageW(notice, WM_COMMAND, IDOK, 0);
  return 0;
}
