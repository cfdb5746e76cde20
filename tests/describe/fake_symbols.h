// A symbol handler that answers what a test chooses, for the line-building
// tests of the summary and call-stack lines.
#pragma once

#include <string>
#include <vector>

#include "describe/describe_detail.h"

namespace ruxtrap {

struct FakeSymbols {
  std::wstring exeName = L"app.exe";
  std::wstring moduleName = L"lib.dll";
  DWORD64 moduleBase = 0x6D310000;  // 0: the address lies in no module
  bool hasSymbol = true;
  std::string symbol = "Draw";
  DWORD64 symbolDisplacement = 36;
  bool hasLine = true;
  std::string file = "c:\\src\\draw.inc";
  DWORD line = 214;
  DWORD lineDisplacement = 4;
  bool hasMessage = false;
  std::wstring message;

  // What the routines asked for.
  std::vector<DWORD64> moduleBaseQueries;
  int symbolLookups = 0, lineLookups = 0;
  DWORD64 symbolRecordAddress = 0;  // the record's Address when looked up

  // Scripted frames for the stack walker.
  struct Frame {
    DWORD64 pc, frame, stack;
    DWORD64 params[4];
  };
  std::vector<Frame> frames;
  size_t nextFrame = 0;
  bool repeatLastFrame = false;  // a broken chain: the walker never ends
  bool endlessDistinctFrames = false;
  STACKFRAME64 seededFrame = {};  // what the first walker call received
  CONTEXT seededContext = {};
  int walkerCalls = 0;
};

// Installs the fake for the life of the object.
class FakeSymbolScope {
 public:
  FakeSymbolScope();
  ~FakeSymbolScope();

  // What a report hands the describe routines; the fakes answer for the
  // symbol handler, so it is never set up.
  LoaderLockHold hold;
  SymbolEngine symbols{hold};
};

extern FakeSymbols fake;

}  // namespace ruxtrap
