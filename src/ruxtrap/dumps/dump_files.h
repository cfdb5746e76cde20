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

// The new dump, created where no file of that name stands. A file of that
// name (the dump of an earlier process of the same id) is removed first:
// a link placed there is removed itself, never written through. Unless
// kept, the file is removed again when the owner goes, also when a fault
// under a guard unwinds its scope: a dump cut short would only take the
// place of a whole one in the folder. While the file is open its growth
// counts as the report's progress: the platform writes a full dump's memory
// in one call, without a step of the library's own that the threads waiting
// for the report could see.
class DumpFile {
 public:
  explicit DumpFile(const wchar_t* path);
  ~DumpFile();
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  bool IsOpen() const { return file_.IsValid(); }
  HANDLE Handle() const { return file_.Get(); }
  // The dump is whole: closing leaves it in place.
  void Keep() { keep_ = true; }
  void Close();

 private:
  static void CloseOnFault(void* self);
  const wchar_t* path_;
  ScopedFileHandle file_;
  bool keep_;
  FaultRelease onFault_;
};

// Removes the oldest dump files (*.dmp, by the time they were last written)
// of the folder until at most keep are left; the file at newest is never
// removed. Returns how many are left. A file that cannot be removed ends
// the thinning.
unsigned KeepNewestDumps(const wchar_t* folder, DWORD keep, const wchar_t* newest);

}  // namespace ruxtrap
