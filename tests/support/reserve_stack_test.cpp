// The reserve stack given back while other threads come to run on it.
#include "support/reserve_stack.h"

#include <gtest/gtest.h>

namespace ruxtrap {
namespace {

constexpr SIZE_T kStackBytes = 64 * 1024;
constexpr int kRunners = 3;

struct Round {
  ReserveStack* stack;
  const void* volatile onTheStack;  // an address on the reserve stack, once one ran there
  volatile bool stop;
  volatile LONG runs;
};

// Touches the stack it runs on, as a report does.
void UseTheStack(void* round) {
  auto* r = static_cast<Round*>(round);
  volatile BYTE frame[2048];
  for (SIZE_T i = 0; i < sizeof(frame); i += 256) frame[i] = static_cast<BYTE>(i);
  if (r->stack->Contains(const_cast<BYTE*>(frame))) r->onTheStack = const_cast<BYTE*>(frame);
  InterlockedIncrement(&r->runs);
}

DWORD WINAPI RunOnTheStackUntilStopped(void* round) {
  auto* r = static_cast<Round*>(round);
  while (!r->stop) r->stack->Run(&UseTheStack, r);
  return 0;
}

// Threads come to run on the stack one after another while it is given
// back: the one that comes as it goes runs on its own stack instead, never
// on memory already freed (a fault there would end this test program).
TEST(ReserveStack, ReleaseNeverFreesTheStackUnderAThreadThatComesToRunOnIt) {
  for (int round = 0; round < 200; ++round) {
    ReserveStack stack(kStackBytes);
    Round r = {&stack, nullptr, false, 0};
    HANDLE runners[kRunners];
    for (HANDLE& t : runners) t = CreateThread(nullptr, 0, &RunOnTheStackUntilStopped, &r, 0, nullptr);
    while (r.onTheStack == nullptr) SwitchToThread();
    // Given back at the first moment no thread runs on it.
    while (stack.Contains(r.onTheStack)) stack.Release();
    const LONG runsWhenGone = r.runs;
    while (r.runs < runsWhenGone + 10) SwitchToThread();
    r.stop = true;
    WaitForMultipleObjects(kRunners, runners, TRUE, INFINITE);
    for (HANDLE t : runners) CloseHandle(t);
  }
}

}  // namespace
}  // namespace ruxtrap
