// The DirectX query against the system's DxDiag provider, and against a
// provider of our own for the cases the system never shows.
#include <windows.h>
// windows.h first
#include <dxdiag.h>
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "sysinfo/sysinfo_detail.h"

namespace ruxtrap {
namespace {

TEST(DirectXVersion, SystemProviderAnswers) {
  DWORD major = 0, minor = 99;
  wchar_t letter = L'?';
  ASSERT_EQ(S_OK, QueryDirectXVersion(&major, &minor, &letter));
  EXPECT_EQ(9u, major);
  EXPECT_EQ(0u, minor);
  EXPECT_EQ(L'c', letter);
  EXPECT_EQ(S_OK, QueryDirectXVersion(nullptr, nullptr, nullptr)) << "null out pointers still count as found";
}

TEST(DirectXVersion, ThreadComStateIsBalanced) {
  // Already initialised: the query's own CoInitialize answers S_FALSE and is undone.
  ASSERT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_OK, QueryDirectXVersion(nullptr, nullptr, nullptr));
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr)) << "still initialised after the query";
  CoUninitialize();
  CoUninitialize();
}

// What the fake provider holds and what happened to it.
struct Script {
  HRESULT create = S_OK, initialize = S_OK, root = S_OK, child = S_OK;
  VARTYPE majorType = VT_UI4, minorType = VT_UI4, letterType = VT_BSTR;
  const wchar_t* letter = L"c";  // null: a null string
  HRESULT coInitialize = S_OK;
  int coUninitializes = 0;
  std::vector<std::string> released;
  DXDIAG_INIT_PARAMS params = {};
  std::wstring childName;
} script;

class FakeContainer : public IDxDiagContainer {
 public:
  explicit FakeContainer(const char* name) : name_(name) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    script.released.push_back(name_);
    return 0;
  }
  HRESULT STDMETHODCALLTYPE GetNumberOfChildContainers(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumChildContainerNames(DWORD, LPWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChildContainer(LPCWSTR name, IDxDiagContainer** out) override {
    script.childName = name;
    if (FAILED(script.child)) return script.child;
    *out = &systemContainer;
    return script.child;
  }
  HRESULT STDMETHODCALLTYPE GetNumberOfProps(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumPropNames(DWORD, LPWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProp(LPCWSTR name, VARIANT* value) override {
    std::wstring n = name;
    if (value->vt != VT_EMPTY) return E_INVALIDARG;  // the variant must come cleared
    if (n == L"dwDirectXVersionMajor") return Number(script.majorType, 11, value);
    if (n == L"dwDirectXVersionMinor") return Number(script.minorType, 2, value);
    if (n == L"szDirectXVersionLetter") {
      value->vt = script.letterType;
      value->bstrVal = script.letter ? SysAllocString(script.letter) : nullptr;
      return S_OK;
    }
    return E_INVALIDARG;
  }
  static FakeContainer systemContainer;

 private:
  static HRESULT Number(VARTYPE type, ULONG number, VARIANT* value) {
    value->vt = type;
    value->ulVal = number;
    return S_OK;
  }
  const char* name_;
};
FakeContainer FakeContainer::systemContainer("system");
FakeContainer rootContainer("root");

class FakeProvider : public IDxDiagProvider {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    script.released.push_back("provider");
    return 0;
  }
  HRESULT STDMETHODCALLTYPE Initialize(DXDIAG_INIT_PARAMS* params) override {
    script.params = *params;
    return script.initialize;
  }
  HRESULT STDMETHODCALLTYPE GetRootContainer(IDxDiagContainer** out) override {
    if (FAILED(script.root)) return script.root;
    *out = &rootContainer;
    return script.root;
  }
} provider;

HRESULT WINAPI FakeCoInitialize(LPVOID) { return script.coInitialize; }
void WINAPI FakeCoUninitialize() { ++script.coUninitializes; }
HRESULT WINAPI FakeCoCreateInstance(REFCLSID, LPUNKNOWN outer, DWORD context, REFIID, LPVOID* out) {
  if (outer != nullptr || context != CLSCTX_INPROC_SERVER) return E_INVALIDARG;
  if (FAILED(script.create)) return script.create;
  *out = static_cast<IDxDiagProvider*>(&provider);
  return script.create;
}

class FakeProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script();
    TheDxDiagPlatform() = {&FakeCoInitialize, &FakeCoUninitialize, &FakeCoCreateInstance};
  }
  void TearDown() override { TheDxDiagPlatform() = RealDxDiagPlatform(); }
  HRESULT Query() {
    major_ = minor_ = 0xDEAD;
    letter_ = L'?';
    return QueryDirectXVersion(&major_, &minor_, &letter_);
  }
  DWORD major_, minor_;
  wchar_t letter_;
};

using Released = std::vector<std::string>;

TEST_F(FakeProviderTest, AllFoundReleasesInOrderAndBalancesCom) {
  EXPECT_EQ(S_OK, Query());
  EXPECT_EQ(11u, major_);
  EXPECT_EQ(2u, minor_);
  EXPECT_EQ(L'c', letter_);
  EXPECT_EQ((Released{"system", "root", "provider"}), script.released);
  EXPECT_EQ(1, script.coUninitializes);
  EXPECT_EQ(16u, script.params.dwSize);
  EXPECT_EQ(111u, script.params.dwDxDiagHeaderVersion);
  EXPECT_FALSE(script.params.bAllowWHQLChecks);
  EXPECT_EQ(L"DxDiag_SystemInfo", script.childName);
}

TEST_F(FakeProviderTest, EmptyLetterCountsAsFoundNullLetterDoesNot) {
  script.letter = L"";
  EXPECT_EQ(S_OK, Query());
  EXPECT_EQ(L'\0', letter_);
  script.letter = nullptr;
  EXPECT_EQ(E_FAIL, Query());
  EXPECT_EQ(L'?', letter_);
  EXPECT_EQ(11u, major_) << "the others are still written";
}

TEST_F(FakeProviderTest, WrongTypesCountAsNotFound) {
  script.majorType = VT_I4;
  EXPECT_EQ(E_FAIL, Query());
  EXPECT_EQ(0xDEADu, major_);
  EXPECT_EQ(2u, minor_);
  script = Script();
  script.minorType = VT_UI2;
  EXPECT_EQ(E_FAIL, Query());
  script = Script();
  script.letterType = VT_I4;
  EXPECT_EQ(E_FAIL, Query());
}

TEST_F(FakeProviderTest, FailingCoInitializeStillQueriesAndDoesNotUninitialize) {
  script.coInitialize = RPC_E_CHANGED_MODE;
  EXPECT_EQ(S_OK, Query());
  EXPECT_EQ(0, script.coUninitializes);
  script = Script();
  script.coInitialize = S_FALSE;  // already initialised counts as success
  EXPECT_EQ(S_OK, Query());
  EXPECT_EQ(1, script.coUninitializes);
}

TEST_F(FakeProviderTest, EachFailingStepReleasesWhatWasObtained) {
  struct Step {
    HRESULT Script::*step;
    Released released;
  } steps[] = {
      {&Script::create, {}},
      {&Script::initialize, {"provider"}},
      {&Script::root, {"provider"}},
      {&Script::child, {"root", "provider"}},
  };
  for (const Step& s : steps) {
    script = Script();
    script.*(s.step) = E_NOINTERFACE;
    EXPECT_EQ(E_FAIL, Query());
    EXPECT_EQ(s.released, script.released);
    EXPECT_EQ(0xDEADu, major_);
    EXPECT_EQ(1, script.coUninitializes);
  }
  script = Script();
  script.initialize = S_FALSE;  // any non-negative result is success
  EXPECT_EQ(S_OK, Query());
}

}  // namespace
}  // namespace ruxtrap
