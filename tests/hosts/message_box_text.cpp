// Finds the crash notice the script host shows, a top-level window titled
// "Exception", prints the text of its static controls (the message) and
// presses its OK button, then waits (10 s at most) for the box to go. Waits
// up to the given seconds (default 30) for the box to appear; exit code 1
// when none did.
//   message_box_text [SECONDS] [--describe]
// With --describe it prints, in UTF-8, one line each for the title, the
// message, the icon and every button: "title: Exception", "text: ...",
// "icon: critical" (or "other", "none"), "button: OK". The icon is told by
// its pixels on the screen, drawn again here from the system's icons: the
// window's icon handle means nothing in another process.
#include <windows.h>

#include <stdio.h>
#include <string.h>
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

void PrintUtf8(const char* label, const wchar_t* text) {
  char bytes[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
  printf("%s: %s\n", label, bytes);
}

// A control's pixels on the screen, as 32-bit colours, top row first.
struct Pixels {
  int width = 0, height = 0;
  DWORD bits[64 * 64] = {};
};

void ReadScreen(HWND control, Pixels* out) {
  RECT box = {};
  GetWindowRect(control, &box);
  out->width = box.right - box.left < 64 ? box.right - box.left : 64;
  out->height = box.bottom - box.top < 64 ? box.bottom - box.top : 64;
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), out->width, -out->height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, out->width, out->height, screen, box.left, box.top, SRCCOPY);
  GdiFlush();
  memcpy(out->bits, bits, out->width * out->height * sizeof(DWORD));
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// icon drawn as a static control draws it, over the background that the
// screen shows in the control's corner.
bool LooksLike(const Pixels& shown, LPCWSTR icon) {
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), shown.width, -shown.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  HDC memory = CreateCompatibleDC(nullptr);
  DWORD* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  for (int i = 0; i < shown.width * shown.height; ++i) bits[i] = shown.bits[0];
  DrawIconEx(memory, 0, 0, LoadIconW(nullptr, icon), 0, 0, 0, nullptr, DI_NORMAL);
  GdiFlush();
  bool same = true;
  for (int i = 0; i < shown.width * shown.height && same; ++i) same = (bits[i] & 0xFFFFFF) == (shown.bits[i] & 0xFFFFFF);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return same;
}

const char* IconKind(HWND control) {
  // The box draws its icon after it is shown: the screen is read again for
  // a while, until the picture is the critical icon.
  Pixels shown;
  for (int i = 0; i < 50; ++i) {
    ReadScreen(control, &shown);
    if (LooksLike(shown, IDI_HAND)) return "critical";
    Sleep(100);
  }
  return "other";
}

BOOL CALLBACK DescribeControl(HWND control, LPARAM icons) {
  wchar_t kind[16] = {}, text[512] = {};
  GetClassNameW(control, kind, 16);
  GetWindowTextW(control, text, 512);
  bool isStatic = _wcsicmp(kind, L"Static") == 0;
  if (isStatic && (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    printf("icon: %s\n", IconKind(control));
    ++*reinterpret_cast<int*>(icons);
  } else if (isStatic && text[0] != 0) {
    PrintUtf8("text", text);
  } else if (_wcsicmp(kind, L"Button") == 0 && IsWindowVisible(control)) {
    PrintUtf8("button", text);
  }
  return TRUE;
}

void Describe(HWND notice) {
  wchar_t title[64] = {};
  GetWindowTextW(notice, title, 64);
  PrintUtf8("title", title);
  int icons = 0;
  EnumChildWindows(notice, &DescribeControl, reinterpret_cast<LPARAM>(&icons));
  if (icons == 0) printf("icon: none\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int seconds = argc > 1 ? _wtoi(argv[1]) : 30;
  bool describe = argc > 2 && wcscmp(argv[2], L"--describe") == 0;
  HWND notice = nullptr;
  for (int i = 0; i < seconds * 10 && notice == nullptr; ++i) {
    EnumWindows(&FindNotice, reinterpret_cast<LPARAM>(&notice));
    if (notice == nullptr) Sleep(100);
  }
  if (notice == nullptr) {
    fwprintf(stderr, L"message_box_text: no window \"Exception\" appeared\n");
    return 1;
  }
  if (describe)
    Describe(notice);
  else
    EnumChildWindows(notice, &PrintStaticText, 0);
  PostMessageW(notice, WM_COMMAND, IDOK, 0);
  // Gone before this returns: a box read next is not this one.
  for (int i = 0; i < 100 && IsWindow(notice); ++i) Sleep(100);
  return 0;
}
