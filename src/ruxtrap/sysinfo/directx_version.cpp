#include <windows.h>
// windows.h first
#include <dxdiag.h>
#include <oleauto.h>

#include "probes/loader_lock.h"
#include "support/optional_calls.h"
#include "support/seam.h"
#include "support/scoped.h"
#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {

namespace {

// COM comes from OLE32 and OLEAUT32, bound with the other optional calls
// instead of imported: the library's own import table stays small. Without
// them the query finds nothing. The query runs only while the report may
// wait for the loader lock, which COM's set-up and the provider's loading
// take.
HRESULT WINAPI BoundCoInitialize(LPVOID reserved) {
  auto call = Optional().coInitialize;
  return call != nullptr ? call(reserved) : E_FAIL;
}

void WINAPI BoundCoUninitialize() {
  if (auto call = Optional().coUninitialize) call();
}

HRESULT WINAPI BoundCoCreateInstance(REFCLSID type, LPUNKNOWN outer, DWORD context, REFIID id, LPVOID* object) {
  auto call = Optional().coCreateInstance;
  return call != nullptr ? call(type, outer, context, id, object) : E_FAIL;
}

void InitVariant(VARIANT* value) {
  if (auto call = Optional().variantInit) call(value);
}

void ClearVariant(VARIANT* value) {
  if (auto call = Optional().variantClear) call(value);
}

const DxDiagPlatform kRealPlatform = {&BoundCoInitialize, &BoundCoUninitialize, &BoundCoCreateInstance};
RUXTRAP_SEAM(DxDiagPlatform, platform, kRealPlatform);

const CLSID kDxDiagProviderClass = {0xA65B8071, 0x3BFE, 0x4213, {0x9A, 0x5B, 0x49, 0x1D, 0xA4, 0x46, 0x1C, 0xA7}};
const IID kDxDiagProviderInterface = {0x9C6B4CB0, 0x23F8, 0x49CC, {0xA3, 0xED, 0x45, 0xA5, 0x50, 0x00, 0xA6, 0xD2}};

// Reads one 32-bit unsigned property; any other type counts as not found.
bool ReadUnsigned(IDxDiagContainer* container, const wchar_t* name, VARIANT* value, DWORD* out) {
  bool found = false;
  if (SUCCEEDED(container->GetProp(name, value)) && value->vt == VT_UI4) {
    if (out != nullptr) *out = value->ulVal;
    found = true;
  }
  ClearVariant(value);
  return found;
}

// Reads the first character of a string property; a null string is not found,
// an empty one gives the character 0.
bool ReadFirstCharacter(IDxDiagContainer* container, const wchar_t* name, VARIANT* value, wchar_t* out) {
  bool found = false;
  if (SUCCEEDED(container->GetProp(name, value)) && value->vt == VT_BSTR && value->bstrVal != nullptr) {
    if (out != nullptr) *out = value->bstrVal[0];
    found = true;
  }
  ClearVariant(value);
  return found;
}

// Everything obtained is released once, newest first: the system container,
// the root container, the provider.
bool ReadVersion(DWORD* major, DWORD* minor, wchar_t* letter) {
  IDxDiagProvider* rawProvider = nullptr;
  if (FAILED(platform.coCreateInstance(kDxDiagProviderClass, nullptr, CLSCTX_INPROC_SERVER, kDxDiagProviderInterface,
                                       reinterpret_cast<void**>(&rawProvider))))
    return false;
  ScopedComPtr<IDxDiagProvider> provider(rawProvider);
  DXDIAG_INIT_PARAMS params = {};
  params.dwSize = sizeof(params);
  params.dwDxDiagHeaderVersion = DXDIAG_DX9_SDK_VERSION;
  params.bAllowWHQLChecks = FALSE;
  params.pReserved = nullptr;
  if (FAILED(provider.Get()->Initialize(&params))) return false;
  IDxDiagContainer* rawRoot = nullptr;
  if (FAILED(provider.Get()->GetRootContainer(&rawRoot))) return false;
  ScopedComPtr<IDxDiagContainer> root(rawRoot);
  IDxDiagContainer* rawSystem = nullptr;
  if (FAILED(root.Get()->GetChildContainer(L"DxDiag_SystemInfo", &rawSystem))) return false;
  ScopedComPtr<IDxDiagContainer> system(rawSystem);
  VARIANT value;
  InitVariant(&value);
  bool foundMajor = ReadUnsigned(system.Get(), L"dwDirectXVersionMajor", &value, major);
  bool foundMinor = ReadUnsigned(system.Get(), L"dwDirectXVersionMinor", &value, minor);
  bool foundLetter = ReadFirstCharacter(system.Get(), L"szDirectXVersionLetter", &value, letter);
  return foundMajor && foundMinor && foundLetter;
}

}  // namespace

const DxDiagPlatform& RealDxDiagPlatform() { return kRealPlatform; }
#ifdef RUXTRAP_TEST_SEAMS
DxDiagPlatform& TheDxDiagPlatform() { return platform; }
#endif

// The thread's COM state is balanced: uninitialised only when this call's
// CoInitialize succeeded. A failed CoInitialize does not stop the query.
HRESULT QueryDirectXVersion(DWORD* major, DWORD* minor, wchar_t* letter) {
  HRESULT joined = platform.coInitialize(nullptr);
  // A thread of the multi-threaded apartment gets the provider through a
  // thread COM starts for it, which cannot start while this thread holds the
  // loader lock (as a report does): the query would wait for ever.
  if (joined == RPC_E_CHANGED_MODE && ThisThreadHoldsLoaderLock()) return E_FAIL;
  bool comReady = SUCCEEDED(joined);
  bool found = ReadVersion(major, minor, letter);
  if (comReady) platform.coUninitialize();
  return found ? S_OK : E_FAIL;
}

}  // namespace ruxtrap
