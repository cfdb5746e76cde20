// A crash host for what deployed programs do to a crash report (see
// hostile.cpp). Loads Ruxtrap.dll from its own folder and calls InitRuxtrap,
// then crashes as MODE says.
//   hostile_host MODE [ARGS...]
#include "modes.h"

namespace {

const ModeTable* const kTables[] = {&kHostileModes};

const HostDescription kHost = {
    "hostile_host", L"hostile_host MODE [ARGS...]", nullptr, 0, kTables, 1, nullptr,
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HostCommand command;
  if (int status = PrepareHost(kHost, argc, argv, &command)) return status;
  return Run(command);
}
