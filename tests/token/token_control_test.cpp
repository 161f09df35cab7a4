// The JCIC control: self-registration, activation by ProgID, the dispatch
// description, object safety, and the token road through two objects that
// share the process's token state, checked with openssl.
#include <quennet/jcic_control.h>
#include <quennet/quennet.h>
#include <windows.h>
#include <winreg.h>

#include <climits>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "com/bstr.h"
#include "token_support.h"

namespace {

using ttest::Module;
using velmora::com::Bstr;

constexpr const char* kClsidText = "{9D4F0A61-2B7C-4E35-8C1A-6E52B3D7F019}";
constexpr const char* kLibidText = "{2A8C6E13-F4D0-47B9-A25E-0C9D71B4E836}";
const IID kIidPersistStreamInit = {0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
const IID kIidPersistStorage = {0x0000010A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidPersistPropertyBag = {0x37D84F60, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

std::string classKey() { return std::string("CLSID\\") + kClsidText; }

bool keyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value of a key ("" names the default value); "<missing>" when
// the key or value is not there.
std::string readValue(const std::string& path, const char* name = "") {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
  char buf[2048] = {};
  DWORD size = sizeof buf - 1, type = 0;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "<missing>";
  return std::string(buf, strnlen(buf, size));
}

void makeKey(const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string libraryPath() {
  char* full = realpath((std::string(VELMORA_LIB_DIR) + "/libquennet.so").c_str(), nullptr);
  std::string path = full ? full : "";
  free(full);
  return path;
}

HRESULT newObject(REFIID riid, void** ppv) {
  Ptr<IClassFactory> factory;
  HRESULT hr = DllGetClassObject(CLSID_JCIC, IID_IClassFactory, factory.out());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, riid, ppv);
}

// One argument of a dispatch call, given in declaration order.
VARIANT arg(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}
VARIANT arg(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

struct Call {
  HRESULT hr = E_FAIL;
  VARIANT result;
  Call() { VariantInit(&result); }
  Call(const Call&) = delete;
  Call(Call&& other) noexcept : hr(other.hr), result(other.result) { VariantInit(&other.result); }
  ~Call() { VariantClear(&result); }
  LONG number() const { return result.vt == VT_I4 ? result.lVal : LONG(0xDEAD); }
  std::u16string text() const {
    return result.vt == VT_BSTR ? std::u16string(result.bstrVal ? result.bstrVal : u"", SysStringLen(result.bstrVal))
                                : u"<not text>";
  }
};

// IDispatch::Invoke as a script engine makes it: arguments reversed.
Call invoke(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args = {}) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.data(), nullptr, UINT(reversed.size()), 0};
  Call c;
  EXCEPINFO excep = {};
  UINT argErr = 0;
  c.hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &c.result, &excep, &argErr);
  for (auto& v : args) VariantClear(&v);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return c;
}

Call byName(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args = {}) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    Call c;
    c.hr = hr;
    return c;
  }
  return invoke(d, id, flags, std::move(args));
}

std::string narrow(const std::u16string& s) { return velmora::com::toUtf8(s); }

// ---------------- registration and activation ----------------

TEST(TokenControl, RegistrationWritesTheEntriesAndUnregistrationRemovesThem) {
  const std::string path = libraryPath();
  ASSERT_FALSE(path.empty());
  const std::string cls = classKey();
  // What an earlier registration left under the replaced keys goes.
  makeKey(cls + "\\Stale");
  makeKey(cls + "\\Control\\Stale");
  // Another class under the CLSID root is no business of ours.
  const std::string other = "CLSID\\{01234567-89AB-CDEF-0123-456789ABCDEF}";
  makeKey(other);

  ASSERT_EQ(DllRegisterServer(), S_OK);
  struct Entry {
    std::string key;
    const char* name;
    std::string value;
  };
  const Entry entries[] = {
      {"Quennet.JCIC.1", "", "JCIC Class"},
      {"Quennet.JCIC.1\\CLSID", "", kClsidText},
      {"Quennet.JCIC", "", "JCIC Class"},
      {"Quennet.JCIC\\CLSID", "", kClsidText},
      {"Quennet.JCIC\\CurVer", "", "Quennet.JCIC.1"},
      {cls, "", "JCIC Class"},
      {cls + "\\ProgID", "", "Quennet.JCIC.1"},
      {cls + "\\VersionIndependentProgID", "", "Quennet.JCIC"},
      {cls + "\\InprocServer32", "", path},
      {cls + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {cls + "\\ToolboxBitmap32", "", path + ", 105"},
      {cls + "\\MiscStatus", "", "0"},
      {cls + "\\MiscStatus\\1", "", "131473"},
      {cls + "\\TypeLib", "", kLibidText},
      {cls + "\\Version", "", "1.0"},
      {std::string("TypeLib\\") + kLibidText + "\\1.0", "", "Quennet 1.0 Type Library"},
      {std::string("TypeLib\\") + kLibidText + "\\1.0\\0\\win64", "", path},
  };
  for (const auto& e : entries) EXPECT_EQ(readValue(e.key, e.name), e.value) << e.key << " " << e.name;
  for (const char* empty : {"Programmable", "Control", "Insertable"}) {
    EXPECT_TRUE(keyExists(cls + "\\" + empty)) << empty;
    EXPECT_EQ(readValue(cls + "\\" + empty), "<missing>") << empty;
  }
  EXPECT_FALSE(keyExists(cls + "\\Stale"));
  EXPECT_FALSE(keyExists(cls + "\\Control\\Stale"));
  // Registering twice is the same registration.
  EXPECT_EQ(DllRegisterServer(), S_OK);
  EXPECT_EQ(readValue(cls + "\\InprocServer32"), path);

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  for (const char* gone : {"Quennet.JCIC.1", "Quennet.JCIC"}) EXPECT_FALSE(keyExists(gone)) << gone;
  EXPECT_FALSE(keyExists(cls));
  EXPECT_FALSE(keyExists(std::string("TypeLib\\") + kLibidText));
  EXPECT_TRUE(keyExists("CLSID"));
  EXPECT_TRUE(keyExists(other));
  CLSID clsid = {};
  EXPECT_EQ(CLSIDFromProgID(u"Quennet.JCIC", &clsid), CO_E_CLASSSTRING);
  // Nothing left to remove is no failure.
  EXPECT_EQ(DllUnregisterServer(), S_OK);
}

TEST(TokenControl, CreatedByProgIdAnswersItsVersion) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  for (const char16_t* progId : {u"Quennet.JCIC", u"Quennet.JCIC.1"}) {
    CLSID clsid = {};
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_JCIC);
    Ptr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.out()), S_OK);
    auto version = byName(object.p, u"GetVersion", DISPATCH_PROPERTYGET);
    ASSERT_EQ(version.hr, S_OK);
    EXPECT_EQ(version.text(), u"1,0,0,1");
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  // Only this class is served; a server lock keeps the module.
  Ptr<IClassFactory> factory;
  const CLSID other = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(DllGetClassObject(other, IID_IClassFactory, factory.out()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory.p, nullptr);
  ASSERT_EQ(DllGetClassObject(CLSID_JCIC, IID_IClassFactory, factory.out()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  factory.p = nullptr;
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  ASSERT_EQ(DllGetClassObject(CLSID_JCIC, IID_IClassFactory, factory.out()), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  factory.p = nullptr;
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  ASSERT_EQ(DllUnregisterServer(), S_OK);

  // The module's description, string resource 100.
  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(&DllRegisterServer), &self));
  char text[64] = {};
  EXPECT_EQ(LoadStringA(reinterpret_cast<HINSTANCE>(self), 100, text, sizeof text), 14);
  EXPECT_STREQ(text, "Quennet Module");
}

// ---------------- the dispatch description ----------------

// The byte offset of a virtual member in its function table, as the
// Itanium C++ ABI encodes it in a member pointer (offset + 1).
template <auto Fn>
SHORT slotOf() {
  struct Raw {
    ptrdiff_t ptr, adj;
  } raw;
  auto fn = Fn;
  static_assert(sizeof fn == sizeof raw);
  memcpy(&raw, &fn, sizeof raw);
  return SHORT(raw.ptr - 1);
}

struct Member {
  DISPID id;
  const char16_t* name;
  bool property;
  SHORT offset;
};

const Member kMembers[] = {
    {1, u"SetTokenType", false, slotOf<&IJCIC::SetTokenType>()},
    {2, u"GetCardType", false, slotOf<&IJCIC::GetCardType>()},
    {3, u"GetCardStatus", false, slotOf<&IJCIC::GetCardStatus>()},
    {4, u"Login", false, slotOf<&IJCIC::Login>()},
    {5, u"Logout", false, slotOf<&IJCIC::Logout>()},
    {6, u"SelectCert", false, slotOf<&IJCIC::SelectCert>()},
    {7, u"GetCertFinger", true, slotOf<&IJCIC::get_GetCertFinger>()},
    {8, u"GetSelectedCertB64", true, slotOf<&IJCIC::get_GetSelectedCertB64>()},
    {9, u"GetSelectedCertSerial", true, slotOf<&IJCIC::get_GetSelectedCertSerial>()},
    {10, u"GetSelectedCertSubject", true, slotOf<&IJCIC::get_GetSelectedCertSubject>()},
    {11, u"GetSelectedCertIssuer", true, slotOf<&IJCIC::get_GetSelectedCertIssuer>()},
    {12, u"GetSelectedCertNotBefore", true, slotOf<&IJCIC::get_GetSelectedCertNotBefore>()},
    {13, u"GetSelectedCertNotAfter", true, slotOf<&IJCIC::get_GetSelectedCertNotAfter>()},
    {18, u"SignPKCS7", false, slotOf<&IJCIC::SignPKCS7>()},
    {20, u"GetPKCS7Data", true, slotOf<&IJCIC::get_GetPKCS7Data>()},
    {41, u"GetErrorCode", true, slotOf<&IJCIC::get_GetErrorCode>()},
    {42, u"GetErrorMsg", true, slotOf<&IJCIC::get_GetErrorMsg>()},
    {43, u"GetVersion", true, slotOf<&IJCIC::get_GetVersion>()},
    {46, u"MakePKCS10", false, slotOf<&IJCIC::MakePKCS10>()},
    {47, u"GetBase64CSR", false, slotOf<&IJCIC::GetBase64CSR>()},
    {48, u"ImportCert", false, slotOf<&IJCIC::ImportCert>()},
    {49, u"GetBase64MAC", false, slotOf<&IJCIC::GetBase64MAC>()},
    {101, u"MacConnectCard", false, slotOf<&IJCIC::MacConnectCard>()},
    {102, u"MacDisConnectCard", false, slotOf<&IJCIC::MacDisConnectCard>()},
    {103, u"MacGetCardStatus", false, slotOf<&IJCIC::MacGetCardStatus>()},
    {104, u"MacTermAuth", false, slotOf<&IJCIC::MacTermAuth>()},
    {105, u"MacGenRandom", false, slotOf<&IJCIC::MacGenRandom>()},
    {106, u"MacReadEF1001", false, slotOf<&IJCIC::MacReadEF1001>()},
    {107, u"MacResetC7Pin", false, slotOf<&IJCIC::MacResetC7Pin>()},
    {108, u"MacChangeC7Pin", false, slotOf<&IJCIC::MacChangeC7Pin>()},
    {109, u"MacVerifyC7Pin", false, slotOf<&IJCIC::MacVerifyC7Pin>()},
    {110, u"MacResetC9Pin", false, slotOf<&IJCIC::MacResetC9Pin>()},
    {111, u"MacChangeC9Pin", false, slotOf<&IJCIC::MacChangeC9Pin>()},
    {112, u"MacVerifyC9Pin", false, slotOf<&IJCIC::MacVerifyC9Pin>()},
};

TEST(TokenControl, DescriptionNamesEveryMemberButTheVtableOnlyOne) {
  Ptr<IDispatch> object;
  ASSERT_EQ(newObject(IID_IDispatch, object.out()), S_OK);
  UINT count = 0;
  ASSERT_EQ(object->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  Ptr<ITypeInfo> info;
  ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info.p), S_OK);

  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == IID_IJCIC);
  EXPECT_EQ(attr->cFuncs, std::size(kMembers));
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attr);
  Bstr name, doc;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.out(), doc.out(), nullptr, nullptr), S_OK);
  EXPECT_EQ(name.str(), u"IJCIC");
  EXPECT_EQ(doc.str(), u"IJCIC Interface");

  // Each member by name, with its kind, its help string and its place in
  // IJCIC's function table.
  for (UINT i = 0; i < std::size(kMembers); ++i) {
    const auto& m = kMembers[i];
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(m.name)};
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << narrow(m.name);
    EXPECT_EQ(id, m.id) << narrow(m.name);
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
    EXPECT_EQ(f->memid, m.id);
    EXPECT_EQ(f->invkind, m.property ? INVOKE_PROPERTYGET : INVOKE_FUNC) << narrow(m.name);
    EXPECT_EQ(f->oVft, m.offset) << narrow(m.name);
    info->ReleaseFuncDesc(f);
    ASSERT_EQ(info->GetDocumentation(m.id, name.out(), doc.out(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.str(), m.name);
    EXPECT_EQ(doc.str(), std::u16string(m.property ? u"property " : u"method ") + m.name);
  }

  DISPID id = 0;
  LPOLESTR ecc[] = {const_cast<LPOLESTR>(u"MakePKCS10ECC")};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, ecc, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  // It sits after the last described member.
  EXPECT_EQ(slotOf<&IJCIC::MakePKCS10ECC>(), slotOf<&IJCIC::MacVerifyC9Pin>() + SHORT(sizeof(void*)));

  // The interfaces the control answers on Linux.
  Ptr<IUnknown> unknown;
  Ptr<IJCIC> jcic;
  Ptr<IObjectSafety> safety;
  Ptr<IUnknown> none;
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, unknown.out()), S_OK);
  EXPECT_EQ(object->QueryInterface(IID_IJCIC, jcic.out()), S_OK);
  EXPECT_EQ(object->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  EXPECT_EQ(object->QueryInterface(kIidPersistStreamInit, none.out()), E_NOINTERFACE);
  EXPECT_EQ(none.p, nullptr);
  EXPECT_EQ(static_cast<void*>(unknown.p), static_cast<void*>(static_cast<IUnknown*>(object.p)));
}

// ---------------- object safety ----------------

struct SafetyStep {
  const IID* iid;
  bool set;
  DWORD mask, options;  // Set only
  HRESULT hr;
  DWORD supported, enabled;  // Get only
};

struct SafetyCase {
  const char* what;
  std::vector<SafetyStep> steps;
};

constexpr DWORD kCaller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
constexpr DWORD kData = INTERFACESAFE_FOR_UNTRUSTED_DATA;

TEST(TokenControl, ObjectSafetyForScriptingAndInitialisation) {
  const SafetyCase cases[] = {
      {"scripting",
       {{&IID_IDispatch, false, 0, 0, S_OK, kCaller, 0},
        {&IID_IDispatch, true, kCaller, kCaller, S_OK, 0, 0},
        {&IID_IDispatch, false, 0, 0, S_OK, kCaller, kCaller}}},
      {"initialisation, each persistence interface",
       {{&kIidPersistStreamInit, false, 0, 0, S_OK, kData, 0},
        {&kIidPersistStreamInit, true, kData, kData, S_OK, 0, 0},
        {&kIidPersistStreamInit, false, 0, 0, S_OK, kData, kData},
        {&kIidPersistStorage, false, 0, 0, S_OK, kData, kData},
        {&kIidPersistPropertyBag, true, kData, kData, S_OK, 0, 0},
        {&IID_IDispatch, false, 0, 0, S_OK, kCaller, 0}}},
      {"options outside the mask are not taken",
       {{&IID_IDispatch, true, kData, kCaller | kData, E_FAIL, 0, 0},
        {&IID_IDispatch, false, 0, 0, S_OK, kCaller, 0},
        {&IID_IDispatch, true, kCaller, 0, E_FAIL, 0, 0}}},
      {"a refused request changes nothing",
       {{&IID_IUnknown, true, kCaller | kData, kCaller | kData, E_FAIL, 0, 0},
        {&kIidPersistStorage, true, kCaller, kCaller, E_FAIL, 0, 0},
        {&IID_IDispatch, false, 0, 0, S_OK, kCaller, 0},
        {&kIidPersistStorage, false, 0, 0, S_OK, kData, 0}}},
      {"other interfaces are not safe",
       {{&IID_IJCIC, false, 0, 0, E_FAIL, 0, 0},
        {&IID_IUnknown, false, 0, 0, E_FAIL, 0, 0},
        {&IID_IJCIC, true, kCaller, kCaller, E_FAIL, 0, 0}}},
  };
  for (const auto& c : cases) {
    Ptr<IObjectSafety> safety;
    ASSERT_EQ(newObject(IID_IObjectSafety, safety.out()), S_OK);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const auto& s = c.steps[i];
      if (s.set) {
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(*s.iid, s.mask, s.options), s.hr) << c.what << " step " << i;
      } else {
        DWORD supported = 0xFFFF, enabled = 0xFFFF;
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(*s.iid, &supported, &enabled), s.hr) << c.what << " step " << i;
        EXPECT_EQ(supported, s.supported) << c.what << " step " << i;
        EXPECT_EQ(enabled, s.enabled) << c.what << " step " << i;
      }
    }
  }
  Ptr<IObjectSafety> safety;
  ASSERT_EQ(newObject(IID_IObjectSafety, safety.out()), S_OK);
  DWORD d = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &d), E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &d, nullptr), E_POINTER);
}

// ---------------- on a token ----------------

struct ModuleListCase {
  const char* what;
  Module first, second;
  int setTokenType, cardStatus, cardType;
};

// The control uses the maker's first module only: a missing second module
// is no failure, and a token behind it is not found.
const ModuleListCase kModuleListCases[] = {
    {"second module missing", Module::Tokensim, Module::Missing, 0, 0, 5},
    {"token only behind the second module", Module::TokensimEmpty, Module::Softhsm, 0, 0x9000, 0},
};

TEST(TokenControl, SetTokenTypeUsesTheMakersModuleOnly) {
  TTEST_RUN_CASES_IN_CHILDREN(kModuleListCases);
  const auto& c = ttest::childCase(kModuleListCases);
  Ptr<IDispatch> object;
  ASSERT_EQ(newObject(IID_IDispatch, object.out()), S_OK);
  auto set = invoke(object.p, 1, DISPATCH_METHOD, {arg(LONG(2))});
  ASSERT_EQ(set.hr, S_OK);
  EXPECT_EQ(set.number(), c.setTokenType);
  auto status = invoke(object.p, 3, DISPATCH_METHOD);
  ASSERT_EQ(status.hr, S_OK);
  EXPECT_EQ(status.number(), c.cardStatus);
  EXPECT_EQ(invoke(object.p, 2, DISPATCH_METHOD).number(), c.cardType);
  JCICLib lib;
  EXPECT_EQ(lib.GetCardType(), c.cardType);
}

TEST(TokenControl, RequestImportSelectAndSignThroughTwoObjects) {
  TTEST_RUN_IN_CHILD(Module::Tokensim, Module::Softhsm);
  auto token = ttest::TestToken::fromEnv();
  Ptr<IDispatch> a;
  Ptr<IJCIC> b;
  ASSERT_EQ(newObject(IID_IDispatch, a.out()), S_OK);
  ASSERT_EQ(newObject(IID_IJCIC, b.out()), S_OK);
  JCICLib lib;

  ASSERT_EQ(byName(a.p, u"SetTokenType", DISPATCH_METHOD, {arg(LONG(2))}).number(), 0);
  ASSERT_EQ(byName(a.p, u"GetCardStatus", DISPATCH_METHOD).number(), 0);
  std::u16string pin1(ttest::kUserPin, ttest::kUserPin + 4), pin2(ttest::kSoPin, ttest::kSoPin + 8);
  ASSERT_EQ(byName(a.p, u"Login", DISPATCH_METHOD, {arg(pin1.c_str()), arg(pin2.c_str())}).number(), 0)
      << lib.get_GetErrorMsg();

  // An RSA request by IDispatch; dispid 47 hands out the request field.
  auto made = byName(a.p, u"MakePKCS10", DISPATCH_METHOD, {arg(LONG(1)), arg(LONG(2048)), arg(u"TEST COM")});
  ASSERT_EQ(made.hr, S_OK);
  ASSERT_EQ(made.number(), 0) << lib.get_GetErrorMsg();
  auto csr = invoke(a.p, 47, DISPATCH_METHOD);
  ASSERT_EQ(csr.hr, S_OK);
  EXPECT_EQ(narrow(csr.text()), lib.GetBase64CSR());
  std::string text;
  ASSERT_TRUE(ttest::opensslVerifyRequest(token.dir, narrow(csr.text()), text)) << text;
  EXPECT_NE(text.find("Subject: CN = TEST COM"), std::string::npos) << text;
  EXPECT_NE(text.find("rsaEncryption"), std::string::npos) << text;
  EXPECT_EQ(narrow(invoke(a.p, 49, DISPATCH_METHOD).text()), lib.GetBase64MAC());

  // The vtable-only member makes an EC request; dispid 47 still reads the
  // request field, now the new one.
  LONG ret = -1;
  Bstr cn(u"TEST EC");
  ASSERT_EQ(b->MakePKCS10ECC(1, 256, cn.get(), &ret), S_OK);
  ASSERT_EQ(ret, 0) << lib.get_GetErrorMsg();
  auto ecCsr = invoke(a.p, 47, DISPATCH_METHOD);
  ASSERT_TRUE(ttest::opensslVerifyRequest(token.dir, narrow(ecCsr.text()), text)) << text;
  EXPECT_NE(text.find("Subject: CN = TEST EC"), std::string::npos) << text;
  EXPECT_NE(text.find("ecdsa-with-SHA256"), std::string::npos) << text;

  // Issue and import through the second object, select through the first,
  // read the fields through the second.
  auto reqBytes = ttest::fromBase64(narrow(ecCsr.text()));
  const unsigned char* p = reqBytes.data();
  X509_REQ* req = d2i_X509_REQ(nullptr, &p, long(reqBytes.size()));
  ASSERT_NE(req, nullptr);
  auto ca = ttest::TestCa::make(token.dir);
  X509* cert = ttest::makeCertificate(ca, X509_REQ_get0_pubkey(req), {"/CN=TEST EC", 0x5A17, "20240101000000Z",
                                                                      "20340101000000Z",
                                                                      "digitalSignature,nonRepudiation"});
  const std::string certB64 = ttest::toBase64(ttest::der(cert));
  Bstr certArg = Bstr::fromUtf8(certB64), macArg(u"");
  ASSERT_EQ(b->ImportCert(certArg.get(), macArg.get(), &ret), S_OK);
  ASSERT_EQ(ret, 0) << lib.get_GetErrorMsg();
  ASSERT_EQ(byName(a.p, u"SelectCert", DISPATCH_METHOD, {arg(LONG(1))}).number(), 0) << lib.get_GetErrorMsg();
  Bstr field;
  ASSERT_EQ(b->get_GetSelectedCertSerial(field.out()), S_OK);
  EXPECT_EQ(field.utf8(), "5A17");
  ASSERT_EQ(b->get_GetSelectedCertB64(field.out()), S_OK);
  EXPECT_EQ(field.utf8(), certB64);
  ASSERT_EQ(b->get_GetSelectedCertSubject(field.out()), S_OK);
  EXPECT_NE(field.utf8().find("TEST EC"), std::string::npos) << field.utf8();
  EXPECT_EQ(narrow(byName(a.p, u"GetSelectedCertSubject", DISPATCH_PROPERTYGET).text()), field.utf8());

  // The second object signs the string's UTF-16LE bytes; the first hands
  // the signature out once.
  Bstr data(u"abc");
  ASSERT_EQ(b->SignPKCS7(data.get(), &ret), S_OK);
  ASSERT_EQ(ret, 0) << lib.get_GetErrorMsg();
  auto p7 = byName(a.p, u"GetPKCS7Data", DISPATCH_PROPERTYGET);
  ASSERT_EQ(p7.hr, S_OK);
  EXPECT_EQ(ttest::opensslVerifySignedData(token.dir, narrow(p7.text()), ca.certFile),
            std::string("a\0b\0c\0", 6));
  EXPECT_EQ(byName(a.p, u"GetPKCS7Data", DISPATCH_PROPERTYGET).text(), u"");
  EXPECT_STREQ(lib.get_GetPKCS7Data(), "");

  EXPECT_EQ(byName(a.p, u"GetErrorCode", DISPATCH_PROPERTYGET).number(), 0);
  ASSERT_EQ(b->Logout(&ret), S_OK);
  EXPECT_EQ(ret, 0);

  X509_free(cert);
  X509_REQ_free(req);
  ca.free();
}

}  // namespace
