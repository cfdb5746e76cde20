// A heap already corrupt when the fault comes.
#include <windows.h>

#include <string.h>

#include "modes.h"

namespace {

// Overruns a heap block into the header of its freed neighbour, as a buffer
// overflow does, so the heap is already corrupt when the fault comes.
__attribute__((noinline)) void CorruptTheHeap() {
  HANDLE heap = GetProcessHeap();
  BYTE* blocks[16];
  for (BYTE*& b : blocks) b = static_cast<BYTE*>(HeapAlloc(heap, 0, 48));
  for (int i = 1; i < 16; i += 2) HeapFree(heap, 0, blocks[i]);
  memset(blocks[0], 0xCC, 48 + 16);  // 16 bytes past the end: the neighbour's header
  RecordFact("heapCorrupted", blocks[0]);
}

int CrashWithTheHeapCorrupt(const ModeArgs&) {
  CorruptTheHeap();
  return WriteThroughNullPointer();
}

const Mode kModes[] = {
    {L"corrupt-heap", &CrashWithTheHeapCorrupt, nullptr},
};

}  // namespace

const ModeTable kHeapModes = TableOf(kModes);
