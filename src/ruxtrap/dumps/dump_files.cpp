#include "dumps/dump_files.h"

#include <string.h>
#include <wchar.h>

#include "support/path_text.h"

namespace ruxtrap {

namespace {

// Far more dumps than any folder is asked to keep; the thinning stops there.
constexpr unsigned kMostRemovals = 1000;

bool IsFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// "*.dmp" also finds names whose short (8.3) form ends so ("a.dmpx"): only
// names that end in ".dmp" themselves count.
bool IsDumpName(const wchar_t* name) {
  size_t n = wcslen(name);
  return n > 4 && _wcsicmp(name + n - 4, L".dmp") == 0;
}

bool IsOlder(const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
  return CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) < 0;
}

// Counts the folder's dump files and finds the oldest that is not newest.
struct DumpCensus {
  unsigned count = 0;
  bool hasOldest = false;
  WIN32_FIND_DATAW oldest = {};
};

DumpCensus TakeCensus(const wchar_t* folder, const wchar_t* newest) {
  DumpCensus census;
  wchar_t pattern[MAX_PATH];
  if (!Join(pattern, folder, L"*.dmp")) return census;
  WIN32_FIND_DATAW found;
  ScopedFind search(FindFirstFileW(pattern, &found));
  if (!search.IsValid()) return census;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsDumpName(found.cFileName)) continue;
    ++census.count;
    wchar_t path[MAX_PATH];
    if (!Join(path, folder, found.cFileName) || _wcsicmp(path, newest) == 0) continue;
    if (!census.hasOldest || IsOlder(found, census.oldest)) census.oldest = found;
    census.hasOldest = true;
  } while (FindNextFileW(search.Get(), &found));
  return census;
}

}  // namespace

bool MakeFolder(const wchar_t* folder) {
  wchar_t partial[MAX_PATH];
  size_t n = wcslen(folder);
  if (n >= MAX_PATH) return false;
  // Each folder on the way, from the top down; the root and the server's
  // name of a UNC path cannot be made and are passed over.
  for (size_t i = 1; i < n; ++i) {
    if (folder[i] != L'\\') continue;
    memcpy(partial, folder, i * sizeof(wchar_t));
    partial[i] = 0;
    if (!IsFolder(partial)) CreateDirectoryW(partial, nullptr);
  }
  return IsFolder(folder);
}

DumpFile::DumpFile(const wchar_t* path) : path_(path), keep_(false), onFault_(&DumpFile::CloseOnFault, this) {
  for (int attempt = 0; attempt < 2 && !file_.IsValid(); ++attempt) {
    file_.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid() && (GetLastError() != ERROR_FILE_EXISTS || !DeleteFileW(path))) break;
  }
  if (file_.IsValid()) WatchFileForReportProgress(file_.Get());
}

DumpFile::~DumpFile() { Close(); }

void DumpFile::Close() {
  if (!file_.IsValid()) return;
  WatchFileForReportProgress(nullptr);
  file_.Reset();
  if (!keep_) DeleteFileW(path_);
}

void DumpFile::CloseOnFault(void* self) { static_cast<DumpFile*>(self)->Close(); }

unsigned KeepNewestDumps(const wchar_t* folder, DWORD keep, const wchar_t* newest) {
  for (unsigned removed = 0;; ++removed) {
    DumpCensus census = TakeCensus(folder, newest);
    NoteReportProgress();
    wchar_t oldest[MAX_PATH];
    if (census.count <= keep || !census.hasOldest || removed == kMostRemovals ||
        !Join(oldest, folder, census.oldest.cFileName) || !DeleteFileW(oldest))
      return census.count;
  }
}

}  // namespace ruxtrap
