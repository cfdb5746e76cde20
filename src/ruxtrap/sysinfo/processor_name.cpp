#include <stdio.h>
#include <string.h>

#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {

namespace {

bool IsAllBlanks(const char* text) { return text[strspn(text, " ")] == '\0'; }
}  // namespace

// A key that did not open stays empty; its reads then leave their output alone.
RegistryKey::RegistryKey(HKEY root, const char* path) {
  if (path != nullptr && path[0] != '\0' && RegOpenKeyA(root, path, key_.Put()) != ERROR_SUCCESS) key_.Reset();
}

bool RegistryKey::QueryString(const char* name, char* out) const {
  if (!key_.IsValid() || name == nullptr || name[0] == '\0') return false;
  out[0] = '\0';
  char data[kRegistryValueBytes] = {};
  // One byte short of the buffer: a zero always follows what is read.
  DWORD size = kRegistryValueBytes - 1;
  if (RegQueryValueExA(key_.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
    return false;
  memcpy(out, data, kRegistryValueBytes);
  return true;
}

char* TrimLeft(char* text) {
  if (IsAllBlanks(text)) return text;
  size_t lead = strspn(text, " ");
  memmove(text, text + lead, strlen(text + lead) + 1);
  return text;
}

char* TrimRight(char* text) {
  if (IsAllBlanks(text)) return text;
  size_t end = strlen(text);
  while (end > 0 && text[end - 1] == ' ') --end;
  text[end] = '\0';
  return text;
}

char* TrimSpaces(char* text) { return TrimRight(TrimLeft(text)); }

// One of three shapes: the name; the vendor and the identifier; or, with no
// key, the prefix and a blank. The emptiness test looks at the name as read.
// The texts are at most 259 bytes each, so the line always fits.
void BuildProcessorLine(HKEY root, const char* path, char* out) {
  RegistryKey key(root, path);
  char text[kRegistryValueBytes] = {};
  key.QueryString("ProcessorNameString", text);
  if (text[0] != '\0') {
    _snprintf(out, kProcessorLineBytes, "[Processor]:    %s\n", TrimSpaces(text));
    return;
  }
  key.QueryString("VendorIdentifier", text);
  int n = _snprintf(out, kProcessorLineBytes, "[Processor]:    %s", TrimSpaces(text));
  key.QueryString("Identifier", text);
  _snprintf(out + n, kProcessorLineBytes - n, " %s\n", TrimSpaces(text));
}

}  // namespace ruxtrap
