#include "probes/loader_lock.h"

#include "support/optional_calls.h"
#include "support/thread_block.h"

namespace ruxtrap {

namespace {

// The head of the loader's list of modules, in the order of their memory.
const LIST_ENTRY* LoadedModules() { return &CurrentThreadBlock()->process->loaderData->InMemoryOrderModuleList; }

// A full name's last part, as the base name.
UNICODE_STRING BaseNameOf(const UNICODE_STRING& fullName) {
  USHORT chars = fullName.Length / sizeof(wchar_t), start = chars;
  while (start > 0 && fullName.Buffer[start - 1] != L'\\' && fullName.Buffer[start - 1] != L'/') --start;
  const USHORT bytes = static_cast<USHORT>((chars - start) * sizeof(wchar_t));
  return {bytes, bytes, fullName.Buffer + start};
}

}  // namespace

const void* LastLoadedModule() {
  const LIST_ENTRY* head = LoadedModules();
  return *static_cast<const void* const volatile*>(static_cast<const void*>(&head->Blink));
}

void ForEachLoadedModule(void (*visit)(HMODULE module, const UNICODE_STRING& baseName)) {
  const OptionalCalls& calls = Optional();
  if (calls.ldrLockLoaderLock == nullptr || calls.ldrUnlockLoaderLock == nullptr) return;
  ULONG_PTR cookie = 0;
  if (calls.ldrLockLoaderLock(0, nullptr, &cookie) != 0) return;
  const LIST_ENTRY* head = LoadedModules();
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    visit(static_cast<HMODULE>(entry->DllBase), BaseNameOf(entry->FullDllName));
  }
  calls.ldrUnlockLoaderLock(0, cookie);
}

bool ThisThreadHoldsLoaderLock() {
  const RTL_CRITICAL_SECTION* lock = CurrentThreadBlock()->process->loaderLock;
  return lock != nullptr &&
         reinterpret_cast<ULONG_PTR>(lock->OwningThread) == static_cast<ULONG_PTR>(GetCurrentThreadId());
}

}  // namespace ruxtrap
