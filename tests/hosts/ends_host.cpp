// A host whose program ends through its C runtime instead of an exception
// (see runtime_ends.cpp). Loads Ruxtrap.dll from its own folder and calls
// InitRuxtrap first.
//   ends_host [--load-ucrt] [--own-sigabrt] MODE [COUNT]
// --load-ucrt loads ucrtbase.dll before InitRuxtrap; --own-sigabrt sets a
// SIGABRT handler of the host's own before it, which records itself in
// C:\ruxtrap-host-facts.txt and ends the process with code 42.
#include "modes.h"

namespace {

int LoadUcrtOption(const wchar_t*) {
  LoadUcrt();
  return 0;
}

int OwnSigabrt(const wchar_t*) {
  SetOwnAbortHandler();
  return 0;
}

const HostOption kOptions[] = {{L"--load-ucrt", false, &LoadUcrtOption}, {L"--own-sigabrt", false, &OwnSigabrt}};
const ModeTable* const kTables[] = {&kRuntimeEndModes};

const HostDescription kHost = {
    "ends_host", L"ends_host [--load-ucrt] [--own-sigabrt] MODE [COUNT]", kOptions, 2, kTables, 1, nullptr,
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HostCommand command;
  if (int status = PrepareHost(kHost, argc, argv, &command)) return status;
  return Run(command);
}
