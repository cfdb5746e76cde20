// One report's state, made by the crash filter for that report and gone
// with it: its hold on the loader lock and its symbol handler. Every step
// of the report is handed what it needs of it.
#pragma once

#include "describe/symbol_engine.h"
#include "loader_hold/loader_hold.h"

namespace ruxtrap {

class ReportSession {
 public:
  // Begins the hold on the loader lock (see loader_hold.h) before the
  // report's first line.
  ReportSession() : symbols_(hold_) {}
  ReportSession(const ReportSession&) = delete;
  ReportSession& operator=(const ReportSession&) = delete;

  LoaderLockHold& Hold() { return hold_; }
  SymbolEngine& Symbols() { return symbols_; }

 private:
  // The hold outlives the symbol handler: the handler is released while
  // the report still holds the lock.
  LoaderLockHold hold_;
  SymbolEngine symbols_;
};

}  // namespace ruxtrap
