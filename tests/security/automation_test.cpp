// The security component's automation classes: their interfaces and type
// description, calls by name and through the function table, separate
// engines per object, object safety, aggregation, the unload check and
// self-registration with activation by ProgID.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <strabel/automation.h>
#include <strabel/strabel.h>
#include <windows.h>
#include <wincrypt.h>
#include <winreg.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "com/bstr.h"
#include "com/server.h"
#include "frame/engines.h"
#include "frame/frame.h"
#include "test_support.h"

namespace {

using velmora::com::Bstr;

// An owned interface pointer.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&&) = delete;
  ~Ref() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void** out() { return reinterpret_cast<void**>(&p_); }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

template <class I>
Ref<I> create(REFCLSID clsid, REFIID iid) {
  Ref<IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, factory.out()), S_OK);
  Ref<I> object;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, iid, object.out()), S_OK);
  }
  return object;
}

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  delete[] p;
  return s;
}

std::string utf8(BSTR owned) { return Bstr::attach(owned).utf8(); }

// One call by name through IDispatch, arguments in declaration order.
using Arg = std::variant<LONG, std::u16string>;
struct Outcome {
  HRESULT hr = E_FAIL;
  VARTYPE vt = VT_EMPTY;
  LONG number = 0;
  std::string text;  // UTF-8
};

Outcome callByName(IDispatch* object, const char16_t* name, std::vector<Arg> args = {}) {
  Outcome o;
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  o.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(o.hr)) return o;
  std::vector<VARIANT> argv(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    VARIANT& v = argv[args.size() - 1 - i];  // automation passes them last first
    VariantInit(&v);
    if (auto* n = std::get_if<LONG>(&args[i])) {
      v.vt = VT_I4;
      v.lVal = *n;
    } else {
      v.vt = VT_BSTR;
      v.bstrVal = Bstr(std::get<std::u16string>(args[i])).release();
    }
  }
  DISPPARAMS params{argv.data(), nullptr, UINT(argv.size()), 0};
  velmora::com::VariantGuard result;
  o.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr);
  for (VARIANT& v : argv) VariantClear(&v);
  o.vt = result->vt;
  if (result->vt == VT_I4) o.number = result->lVal;
  if (result->vt == VT_BSTR)
    o.text = velmora::com::toUtf8(
        std::u16string_view(result->bstrVal ? result->bstrVal : u"", SysStringLen(result->bstrVal)));
  return o;
}

LONG errorCodeByName(IDispatch* object) { return callByName(object, u"GetErrorCode").number; }

// ---- the registry under HKEY_CLASSES_ROOT ----

bool keyExists(const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::optional<std::string> regValue(const std::string& key, const char* name = nullptr) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return std::nullopt;
  char buf[1024] = {0};
  DWORD size = sizeof buf - 1, type = 0;
  LSTATUS s = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(h);
  if (s != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  return std::string(buf);
}

struct ClassCase {
  const CLSID* clsid;
  const IID* iid;
  const char* name;
  const char* clsidText;
};
const ClassCase kClasses[] = {
    {&CLSID_CAPI, &IID_ICAPI, "CAPI", "{7C3A52D0-AD11-4E61-8B25-3F9A61C00207}"},
    {&CLSID_CertREG, &IID_ICertREG, "CertREG", "{7C3A52D0-AD12-4E61-8B25-3F9A61C00207}"},
    {&CLSID_TaiMAC10, &IID_ITaiMAC10, "TaiMAC10", "{7C3A52D0-AD13-4E61-8B25-3F9A61C00207}"},
};
const char* kLibIdText = "{5E20C4A9-B3AF-4D17-A6B8-3F9A61C00207}";

std::u16string modulePath() { return strabel::wideFromAnsi(strabel::componentModulePath()); }

// ---------------------------------------------------------------------------

TEST(AutomationObject, AnswersItsDualInterfaceDispatchAndSafetyOnly) {
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    Ref<IUnknown> unknown = create<IUnknown>(*c.clsid, IID_IUnknown);
    ASSERT_TRUE(unknown);
    Ref<IDispatch> dual, dispatch;
    Ref<IObjectSafety> safety;
    Ref<IUnknown> again;
    EXPECT_EQ(unknown->QueryInterface(*c.iid, dual.out()), S_OK);
    EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
    EXPECT_EQ(dual.get(), dispatch.get());  // IDispatch is the dual interface itself
    ASSERT_EQ(dispatch->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
    ASSERT_EQ(safety->QueryInterface(IID_IUnknown, again.out()), S_OK);
    EXPECT_EQ(again.get(), unknown.get());  // one identity
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(unknown->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
  }
  void* factory = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(IID_ICAPI, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
}

TEST(AutomationObject, EachObjectHasItsOwnEngine) {
  CCAPILib exported;
  const int exportedBefore = exported.GetErrorCode();
  Ref<ICAPI> a = create<ICAPI>(CLSID_CAPI, IID_ICAPI);
  Ref<ICAPI> b = create<ICAPI>(CLSID_CAPI, IID_ICAPI);
  ASSERT_TRUE(a && b);
  LONG code = -1;
  ASSERT_EQ(a->SetCodePage(1252, &code), S_OK);
  EXPECT_EQ(code, 5006);
  EXPECT_EQ(a->GetErrorCode(&code), S_OK);
  EXPECT_EQ(code, 5006);
  BSTR msg = nullptr;
  EXPECT_EQ(a->GetErrorMsg(&msg), S_OK);
  EXPECT_EQ(utf8(msg), "Handle errors(5006)");
  EXPECT_EQ(b->GetErrorCode(&code), S_OK);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(exported.GetErrorCode(), exportedBefore);

  // The automation class has its own port value.
  EXPECT_EQ(a->GetPortEx(&code), S_OK);
  EXPECT_EQ(code, 65537);
  EXPECT_EQ(exported.GetPortEx(), 66357);

  // A null result pointer is refused before anything runs.
  EXPECT_EQ(b->SetCodePage(1252, nullptr), E_POINTER);
  EXPECT_EQ(b->GetErrorCode(&code), S_OK);
  EXPECT_EQ(code, 0);
}

TEST(AutomationDispatch, FailingCallsByNameReturnNormallyAndGetErrorCodeTells) {
  struct Case {
    const CLSID* clsid;
    const char16_t* name;
    std::vector<Arg> args;
    VARTYPE vt;
    LONG code;
  } cases[] = {
      {&CLSID_CAPI, u"SetCodePage", {LONG(1252)}, VT_I4, 5006},
      {&CLSID_CAPI, u"SignPkcs7", {u"content", LONG(0)}, VT_BSTR, 5067},
      {&CLSID_CAPI, u"ChangePfxPasswdEx", {u"/nonexistent", u"a.pfx", u"old", u"new", LONG(0), LONG(0)}, VT_I4, 5902},
      {&CLSID_CAPI, u"ExportMobileFromIE", {u"S_CN=nobody here", u"pw", LONG(0), LONG(0)}, VT_BSTR, 5010},
      {&CLSID_CertREG, u"RegSMCert", {u"csp"}, VT_I4, 4097},  // no such provider
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(velmora::com::toUtf8(c.name));
    Ref<IDispatch> object = create<IDispatch>(*c.clsid, IID_IDispatch);
    ASSERT_TRUE(object);
    Outcome o = callByName(object.get(), c.name, c.args);
    EXPECT_EQ(o.hr, S_OK);
    ASSERT_EQ(o.vt, c.vt);
    if (c.vt == VT_I4) {
      EXPECT_EQ(o.number, c.code);
    } else {
      EXPECT_EQ(o.text, "");
    }
    EXPECT_EQ(errorCodeByName(object.get()), c.code);
    EXPECT_EQ(errorCodeByName(object.get()), c.code);  // reading changes nothing
    // The next successful operation resets it.
    EXPECT_EQ(callByName(object.get(), u"GetVersion").text, "4.0.1.4");
    EXPECT_EQ(errorCodeByName(object.get()), 0);
  }
}

TEST(AutomationDispatch, TaiMacStatusReadersAreReachableOnlyThroughTheFunctionTable) {
  Ref<ITaiMAC10> mac = create<ITaiMAC10>(CLSID_TaiMAC10, IID_ITaiMAC10);
  ASSERT_TRUE(mac);
  for (const char16_t* name : {u"GetErrorCode", u"GetErrorMsg", u"GetCapiErrorCode", u"GetCapiErrorMsg"}) {
    SCOPED_TRACE(velmora::com::toUtf8(name));
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(mac->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
  }
  // Card operations answer through their result and store no status: here
  // no smart-card service answers, so the connection fails.
  setenv("PCSCLITE_CSOCK_NAME", (vtest::profileDir() + "/no-pcscd.comm").c_str(), 1);
  Outcome connect = callByName(mac.get(), u"ConnectCard");
  EXPECT_EQ(connect.hr, S_OK);
  EXPECT_EQ(connect.number, 4098);
  Outcome version = callByName(mac.get(), u"GetVersion");
  EXPECT_EQ(version.text, "4.0.1.4");

  LONG code = -1;
  EXPECT_EQ(mac->GetErrorCode(&code), S_OK);
  EXPECT_EQ(code, 0);
  BSTR text = nullptr;
  EXPECT_EQ(mac->GetErrorMsg(&text), S_OK);
  EXPECT_EQ(utf8(text), "成功(0)");  // the smart-card engine starts in Chinese
  EXPECT_EQ(mac->GetCapiErrorCode(&code), S_OK);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(mac->GetCapiErrorMsg(&text), S_OK);
  EXPECT_EQ(utf8(text), "成功(0)");
}

TEST(AutomationDispatch, HashByNameGivesThePublishedDigests) {
  Ref<IDispatch> capi = create<IDispatch>(CLSID_CAPI, IID_IDispatch);
  ASSERT_TRUE(capi);
  struct Case {
    LONG flags;
    const char* digest;
  } cases[] = {
      {0x11, "900150983CD24FB0D6963F7D28E17F72"},
      {0x10, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {0x13, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
  };
  for (const Case& c : cases) {
    Outcome o = callByName(capi.get(), u"Hash", {u"abc", c.flags});
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.vt, VT_BSTR);
    EXPECT_EQ(o.text, c.digest) << c.flags;
  }
  // Names are found without regard to case, as scripts write them.
  EXPECT_EQ(callByName(capi.get(), u"hash", {u"abc", LONG(0x13)}).text, cases[2].digest);
}

TEST(AutomationDispatch, EachCapiObjectSelectsItsOwnSigner) {
  vtest::SignerPki pki;
  EVP_PKEY* key = EVP_RSA_gen(1024);
  vtest::CertSpec spec;
  spec.subject = {{"CN", "Automation Signer"}};
  spec.serialHex = "7A01";
  const std::string der = pki.make(spec, key);
  EVP_PKEY_free(key);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                               DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
  CertCloseStore(my, 0);
  Ref<IDispatch> a = create<IDispatch>(CLSID_CAPI, IID_IDispatch);
  Ref<IDispatch> b = create<IDispatch>(CLSID_CAPI, IID_IDispatch);
  ASSERT_TRUE(a && b);
  Outcome chosen = callByName(a.get(), u"SelectSigner", {u"S_CN=Automation Signer", LONG(0x102), LONG(0)});
  EXPECT_EQ(chosen.number, 0);
  EXPECT_EQ(callByName(a.get(), u"GetCertSerial").text, "7A01");
  EXPECT_EQ(callByName(b.get(), u"GetCertSerial").text, "");
  Outcome none = callByName(b.get(), u"SelectSignerEx", {u"S_CN=Nobody", u"", u"", u"", u"", LONG(0x102), LONG(0)});
  EXPECT_EQ(none.number, 5010);
  EXPECT_EQ(callByName(a.get(), u"GetCertSubjectCN").text, "Automation Signer");
}

TEST(AutomationDispatch, EcRequestByNameVerifiesWithOpenssl) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  Ref<IDispatch> capi = create<IDispatch>(CLSID_CAPI, IID_IDispatch);
  Ref<IDispatch> other = create<IDispatch>(CLSID_CAPI, IID_IDispatch);
  ASSERT_TRUE(capi && other);
  Outcome request = callByName(capi.get(), u"CreateEccPKCS10", {u"Automation 測試", LONG(0x100)});
  ASSERT_EQ(request.hr, S_OK);
  ASSERT_EQ(errorCodeByName(capi.get()), 0) << callByName(capi.get(), u"GetErrorMsg").text;
  ASSERT_FALSE(request.text.empty());

  const std::string dir = vtest::makeTempDir("automation");
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\r\n" + request.text;
  if (pem.back() != '\n') pem += "\r\n";
  vtest::writeFile(dir + "/req.pem", pem + "-----END CERTIFICATE REQUEST-----\r\n");
  auto r = vtest::runCommand({"openssl", "req", "-in", dir + "/req.pem", "-verify", "-noout", "-subject", "-text",
                              "-nameopt", "oneline,-esc_msb"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("verify OK"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("CN = Automation 測試"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("prime256v1"), std::string::npos) << r.out;

  // The request stays with the object that made it.
  EXPECT_EQ(callByName(capi.get(), u"GetCsrForSign").text, request.text);
  Outcome elsewhere = callByName(other.get(), u"GetCsrForSign");
  EXPECT_EQ(elsewhere.vt, VT_BSTR);
  EXPECT_EQ(elsewhere.text, "");
}

TEST(AutomationTypeLibrary, DescribesTheLibraryClassesAndInterfaces) {
  Ref<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLib(modulePath().c_str(), reinterpret_cast<ITypeLib**>(lib.out())), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == LIBID_STRABELLib);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 0x409u);
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(utf8(name), "STRABELLib");
  EXPECT_EQ(utf8(doc), "STRABEL 4.0 Type Library");

  struct Type {
    const GUID* guid;
    const char* name;
    const char* help;
    WORD funcs;  // 0 for a class
  } types[] = {
      {&IID_ICAPI, "ICAPI", "KAVO Corvane CAPI Interface", 55},
      {&IID_ICertREG, "ICertREG", "KAVO Corvane CertREG Interface", 8},
      {&IID_ITaiMAC10, "ITaiMAC10", "KAVO Corvane TaiMAC10 Interface", 23},
      {&CLSID_CAPI, "CAPI", "KAVO Corvane CAPI Class", 0},
      {&CLSID_CertREG, "CertREG", "KAVO Corvane CertREG Class", 0},
      {&CLSID_TaiMAC10, "TaiMAC10", "KAVO Corvane TaiMAC10 Class", 0},
  };
  const WORD dual = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
  for (const Type& t : types) {
    SCOPED_TRACE(t.name);
    Ref<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*t.guid, reinterpret_cast<ITypeInfo**>(info.out())), S_OK);
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(utf8(name), t.name);
    EXPECT_EQ(utf8(doc), t.help);
    if (!t.funcs) continue;
    TYPEATTR* typeAttr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&typeAttr), S_OK);
    EXPECT_EQ(typeAttr->cFuncs, t.funcs);
    EXPECT_EQ(typeAttr->wTypeFlags & dual, dual);
    info->ReleaseTypeAttr(typeAttr);
  }

  // Dispatch identifiers that compiled clients rely on.
  struct Id {
    const IID* iid;
    const char16_t* name;
    MEMBERID id;
  } ids[] = {
      {&IID_ICAPI, u"GetCapiErrorMsg", 0x5},   {&IID_ICAPI, u"SetCodePage", 0x9},
      {&IID_ICAPI, u"RegWriteHKCUStr", 0x16},  {&IID_ICAPI, u"HashFile", 0x1F},
      {&IID_ICAPI, u"ImportCertChain", 0x2F},  {&IID_ICAPI, u"SetDefaultPfxFileName", 0x32},
      {&IID_ICAPI, u"GetImportedPfxFileName", 0x39}, {&IID_ICAPI, u"ExportPfxFromIE", 0x3C},
      {&IID_ICAPI, u"GetExportedPfxFileName", 0x40}, {&IID_ICAPI, u"SelectSigner", 0x46},
      {&IID_ICAPI, u"GetPortEx", 0x4D},        {&IID_ICAPI, u"GetCertB64", 0x50},
      {&IID_ICAPI, u"GetCertFinger", 0x57},    {&IID_ICAPI, u"SymEncrypt", 0x5A},
      {&IID_ICAPI, u"CertDecryptPkcs7", 0x5D}, {&IID_ICertREG, u"RegSMCert", 0xA},
      {&IID_ICertREG, u"GetSn", 0xC},          {&IID_ITaiMAC10, u"SetCodePage", 0x9},
      {&IID_ITaiMAC10, u"WriteCertMAC", 0xA},  {&IID_ITaiMAC10, u"Read8000", 0x17},
      {&IID_ITaiMAC10, u"VerrifyPIN", 0x1A},   {&IID_ITaiMAC10, u"GetCardStatus", 0x1E},
      {&IID_ICAPI, u"AcceptPKCS7Ecc", DISPID_UNKNOWN},
  };
  for (const Id& i : ids) {
    SCOPED_TRACE(velmora::com::toUtf8(i.name));
    Ref<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*i.iid, reinterpret_cast<ITypeInfo**>(info.out())), S_OK);
    MEMBERID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(i.name)};
    EXPECT_EQ(info->GetIDsOfNames(names, 1, &id), i.id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK);
    EXPECT_EQ(id, i.id);
  }
}

TEST(AutomationObjectSafety, OffersSafeForUntrustedCallersOnly) {
  Ref<IObjectSafety> safety = create<IObjectSafety>(CLSID_CAPI, IID_IObjectSafety);
  ASSERT_TRUE(safety);
  DWORD supported = 0xFF, enabled = 0xFF;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_ICAPI, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_ICAPI, &supported, nullptr), E_POINTER);

  struct Step {
    const IID* iid;
    DWORD mask, enable;
    HRESULT hr;
    DWORD enabledAfter;
  } steps[] = {
      {&IID_ICAPI, 0, 0, S_OK, 0},
      {&IID_ICAPI, INTERFACESAFE_FOR_UNTRUSTED_DATA, INTERFACESAFE_FOR_UNTRUSTED_DATA, E_FAIL, 0},
      {&IID_ICAPI, 3, 1, E_FAIL, 0},
      {&IID_ICAPI, 1, 1, S_OK, 1},
      {&IID_IDispatch, 0, 0, S_OK, 1},  // an empty mask changes nothing
      {&IID_IClassFactory, 1, 0, E_NOINTERFACE, 1},
      {&IID_IObjectSafety, 1, 0, S_OK, 0},  // the mask's bit switched off
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "mask " << s.mask << " enabled " << s.enable);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(*s.iid, s.mask, s.enable), s.hr);
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_ICAPI, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, DWORD(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, s.enabledAfter);
  }
  supported = enabled = 0xFF;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);

  // The same contract on the other classes, through their own interfaces.
  for (const ClassCase& c : {kClasses[1], kClasses[2]}) {
    SCOPED_TRACE(c.name);
    Ref<IObjectSafety> other = create<IObjectSafety>(*c.clsid, IID_IObjectSafety);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->SetInterfaceSafetyOptions(*c.iid, 2, 2), E_FAIL);
    EXPECT_EQ(other->SetInterfaceSafetyOptions(*c.iid, 1, 1), S_OK);
    EXPECT_EQ(other->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 1u);
    EXPECT_EQ(other->SetInterfaceSafetyOptions(IID_ICAPI, 1, 1), E_NOINTERFACE);
  }
}

// An outer object that aggregates a CAPI object and counts what reaches it.
class Outer final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    ++queries;
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    if (inner) return inner->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }

  IUnknown* inner = nullptr;
  int queries = 0;
  ULONG refs = 1;
};

TEST(AutomationObject, AggregatesUnderAnOuterObject) {
  Ref<IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(CLSID_CAPI, IID_IClassFactory, factory.out()), S_OK);
  Outer outer;
  void* refused = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_ICAPI, &refused), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(refused, nullptr);

  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer
  ICAPI* capi = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_ICAPI, reinterpret_cast<void**>(&capi)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // the interface's reference is the outer object's

  // The interface's IUnknown is the outer object's.
  IUnknown* identity = nullptr;
  ASSERT_EQ(capi->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, &outer);
  identity->Release();
  const int queries = outer.queries;
  Ref<IObjectSafety> safety;
  EXPECT_EQ(capi->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  EXPECT_EQ(outer.queries, queries + 1);

  BSTR version = nullptr;
  EXPECT_EQ(capi->GetVersion(&version), S_OK);
  EXPECT_EQ(utf8(version), "4.0.1.4");
  capi->Release();
  EXPECT_EQ(outer.refs, 2u);  // `safety` still holds one
  safety.reset();
  EXPECT_EQ(outer.refs, 1u);
  outer.inner->Release();  // the outer object lets its part go
  outer.inner = nullptr;
}

TEST(AutomationServer, CanUnloadOnlyWithoutObjectsFactoriesOrLocks) {
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  Ref<ITaiMAC10> mac;
  {
    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_TaiMAC10, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITaiMAC10, mac.out()), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  {
    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_CertREG, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the object still lives
  mac.reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(AutomationServer, RegistersActivatesByProgIdAndUnregisters) {
  // A key left below the class by an older registration goes.
  ASSERT_EQ(velmora::com::setKey(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClasses[0].clsidText + "\\Stale", "x"),
            ERROR_SUCCESS);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  const std::string module = strabel::componentModulePath();
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    const std::string progId = std::string("Strabel.") + c.name, versioned = progId + ".1";
    const std::string description = std::string("KAVO Corvane ") + c.name + " Class";
    const std::string key = std::string("CLSID\\") + c.clsidText;
    EXPECT_EQ(regValue(versioned), description);
    EXPECT_EQ(regValue(versioned + "\\CLSID"), c.clsidText);
    EXPECT_EQ(regValue(progId), description);
    EXPECT_EQ(regValue(progId + "\\CLSID"), c.clsidText);
    EXPECT_EQ(regValue(progId + "\\CurVer"), versioned);
    EXPECT_EQ(regValue(key), description);
    EXPECT_EQ(regValue(key + "\\ProgID"), versioned);
    EXPECT_EQ(regValue(key + "\\VersionIndependentProgID"), progId);
    EXPECT_TRUE(keyExists(key + "\\Programmable"));
    EXPECT_EQ(regValue(key + "\\InprocServer32"), module);
    EXPECT_EQ(regValue(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(regValue(key + "\\TypeLib"), kLibIdText);
    EXPECT_FALSE(keyExists(key + "\\Stale"));

    CLSID found{};
    EXPECT_EQ(CLSIDFromProgID(velmora::com::toU16(progId).c_str(), &found), S_OK);
    EXPECT_TRUE(found == *c.clsid);
  }
  EXPECT_TRUE(keyExists(std::string("TypeLib\\") + kLibIdText + "\\1.0"));
  {
    Ref<ITypeLib> registered;
    EXPECT_EQ(LoadRegTypeLib(LIBID_STRABELLib, 1, 0, 0x409, reinterpret_cast<ITypeLib**>(registered.out())), S_OK);
  }

  // Activation by ProgID reaches this library; its version is the file's.
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"Strabel.CAPI", &clsid), S_OK);
  {
    Ref<ICAPI> capi;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ICAPI, capi.out()), S_OK);
    BSTR version = nullptr;
    ASSERT_EQ(capi->GetVersion(&version), S_OK);
    std::string record;
    DWORD error = 0;
    ASSERT_TRUE(strabel::readComponentVersion(record, error));
    const std::string got = utf8(version);
    EXPECT_EQ(got, record);
    EXPECT_EQ(got, take(CCAPILib().GetVersion()));
  }

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  for (const ClassCase& c : kClasses) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(keyExists(std::string("Strabel.") + c.name));
    EXPECT_FALSE(keyExists(std::string("Strabel.") + c.name + ".1"));
    EXPECT_FALSE(keyExists(std::string("CLSID\\") + c.clsidText));
  }
  EXPECT_TRUE(keyExists("CLSID"));  // shared with every other server
  EXPECT_FALSE(keyExists(std::string("TypeLib\\") + kLibIdText + "\\1.0"));
  EXPECT_EQ(CLSIDFromProgID(u"Strabel.CAPI", &clsid), CO_E_CLASSSTRING);
  CoFreeUnusedLibraries();
}

}  // namespace
