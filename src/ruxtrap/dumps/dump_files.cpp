#include "dumps/dump_files.h"

#include "dumps/dump_check.h"

#include <string.h>
#include <wchar.h>

#include "support/path_text.h"

namespace ruxtrap {

namespace {

// Oldest dumps removed after one look at the folder; a folder with more to
// remove is looked at again, at most kMostLooks times.
constexpr int kBatch = 256;
constexpr int kMostLooks = 64;
// Files that could not be removed (held open, or refused to this account),
// passed over from then on; past that many the thinning gives up.
constexpr int kMostStuck = 64;

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

struct OldDump {
  FILETIME written;
  wchar_t name[MAX_PATH];
};

// One look at the folder: how many dumps it holds, and the oldest of those
// that may go (not newest, not stuck), oldest first.
struct FolderLook {
  unsigned count;
  int candidates;
  OldDump oldest[kBatch];
};
FolderLook look;

wchar_t stuck[kMostStuck][MAX_PATH];
int stuckCount;

bool IsStuck(const wchar_t* name) {
  for (int i = 0; i < stuckCount; ++i)
    if (_wcsicmp(stuck[i], name) == 0) return true;
  return false;
}

// Keeps look.oldest sorted, oldest first, and at most kBatch long.
void OfferCandidate(const WIN32_FIND_DATAW& found) {
  int at = look.candidates;
  while (at > 0 && CompareFileTime(&found.ftLastWriteTime, &look.oldest[at - 1].written) < 0) --at;
  if (at == kBatch) return;
  const int last = look.candidates < kBatch ? look.candidates : kBatch - 1;
  memmove(&look.oldest[at + 1], &look.oldest[at], (last - at) * sizeof(OldDump));
  look.oldest[at].written = found.ftLastWriteTime;
  memcpy(look.oldest[at].name, found.cFileName, sizeof(look.oldest[at].name));
  if (look.candidates < kBatch) ++look.candidates;
}

// The platform will not remove a read-only file: such a dump was marked to
// be kept, and is counted but never offered, so however many there are
// they cannot fill a look and hold the others back.
bool MayRemove(const WIN32_FIND_DATAW& found) {
  return (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 && !IsStuck(found.cFileName);
}

bool LookAtFolder(const wchar_t* folder, const wchar_t* newest) {
  look.count = 0;
  look.candidates = 0;
  wchar_t pattern[MAX_PATH];
  if (!Join(pattern, folder, L"*.dmp")) return false;
  WIN32_FIND_DATAW found;
  ScopedFind search(FindFirstFileW(pattern, &found));
  if (!search.IsValid()) return false;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsDumpName(found.cFileName)) continue;
    ++look.count;
    wchar_t path[MAX_PATH];
    if (Join(path, folder, found.cFileName) && _wcsicmp(path, newest) != 0 && MayRemove(found))
      OfferCandidate(found);
  } while (FindNextFileW(search.Get(), &found));
  return true;
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

DumpFile::DumpFile(const wchar_t* path) : path_(path), onFault_(&DumpFile::CloseOnFault, this) {
  if (!Join(writing_, path, L".partial")) return;
  for (int attempt = 0; attempt < 2 && !file_.IsValid(); ++attempt) {
    file_.Reset(CreateFileW(writing_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid() && (GetLastError() != ERROR_FILE_EXISTS || !DeleteFileW(writing_))) break;
  }
  if (file_.IsValid()) WatchFileForReportProgress(file_.Get());
}

DumpFile::~DumpFile() { Close(); }

bool DumpFile::Keep() {
  if (!file_.IsValid()) return false;
  const bool whole = IsWholeDump(file_.Get());
  WatchFileForReportProgress(nullptr);
  file_.Reset();
  if (whole && MoveFileExW(writing_, path_, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileW(writing_);
  return false;
}

void DumpFile::Close() {
  if (!file_.IsValid()) return;
  WatchFileForReportProgress(nullptr);
  file_.Reset();
  DeleteFileW(writing_);
}

void DumpFile::CloseOnFault(void* self) { static_cast<DumpFile*>(self)->Close(); }

unsigned KeepNewestDumps(const wchar_t* folder, DWORD keep, const wchar_t* newest) {
  stuckCount = 0;
  unsigned left = 0;
  for (int pass = 0; pass < kMostLooks && LookAtFolder(folder, newest); ++pass) {
    NoteReportProgress();
    left = look.count;
    if (look.count <= keep) break;
    unsigned removed = 0;
    for (int i = 0; i < look.candidates && look.count - removed > keep; ++i) {
      wchar_t path[MAX_PATH];
      if (Join(path, folder, look.oldest[i].name) && DeleteFileW(path))
        ++removed;
      else if (stuckCount < kMostStuck)
        memcpy(stuck[stuckCount++], look.oldest[i].name, sizeof(stuck[0]));
    }
    left = look.count - removed;
    if (removed == 0 && (look.candidates == 0 || stuckCount == kMostStuck)) break;
  }
  return left;
}

}  // namespace ruxtrap
