// The files of the dump folder: the folder itself, the new dump and the old
// ones. Everything here runs in a crash: no heap of the library's own, and
// each loop is bounded.
#pragma once

#include <windows.h>

#include "support/fault_guard.h"
#include "support/report_progress.h"
#include "support/scoped.h"

namespace ruxtrap {

// Makes the folder (absolute, ending in a backslash) and every missing
// folder above it. True when the folder exists afterwards.
bool MakeFolder(const wchar_t* folder);

// The new dump, written under a name of its own (the dump's name and
// ".partial", which no thinning counts) and given the dump's name only once
// it is whole: a dump cut short (a full disk, the process killed meanwhile)
// never takes the place of a whole one. A file of the writing name (an
// earlier process of the same id) is removed first: a link placed there is
// removed itself, never written through. Unless kept, the file is removed
// when the owner goes, also when a fault under a guard unwinds its scope.
// While the file is open its growth counts as the report's progress.
class DumpFile {
 public:
  explicit DumpFile(const wchar_t* path);
  ~DumpFile();
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  bool IsOpen() const { return file_.IsValid(); }
  HANDLE Handle() const { return file_.Get(); }
  // Checks that the dump is whole, then gives it the dump's name (over one
  // of an earlier process of the same id). False, with the file removed,
  // when it is not whole or cannot be named so.
  bool Keep();

 private:
  void Close();
  static void CloseOnFault(void* self);
  const wchar_t* path_;
  wchar_t writing_[MAX_PATH];
  ScopedFileHandle file_;
  FaultRelease onFault_;
};

// Removes the oldest dump files (*.dmp, by the time they were last written)
// of the folder until at most keep are left; the file at newest is never
// removed, nor one that cannot be (read-only, held open): the next oldest
// goes in its place. Returns how many are left.
unsigned KeepNewestDumps(const wchar_t* folder, DWORD keep, const wchar_t* newest);

}  // namespace ruxtrap
