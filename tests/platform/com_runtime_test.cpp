// The COM runtime: GUID text forms, ProgID and class look-up in
// HKEY_CLASSES_ROOT, activation of an in-process server (the comserver
// fixture), dispatch through its type description, type-library
// registration, and the registry tree deletion registration relies on.
#include <dlfcn.h>
#include <objbase.h>
#include <windows.h>

#include <string>

#include "com/bstr.h"
#include "com/server.h"
#include "test_support.h"

namespace {

using velmora::com::Bstr;
using velmora::com::guidText;
using velmora::com::toUtf8;

const CLSID kEcho = {0xB0B1E0C2, 0x7A35, 0x4D7E, {0x9A, 0x61, 0x5C, 0x1D, 0x2E, 0x3F, 0x4A, 0x01}};
const IID kIEcho = {0xB0B1E0C2, 0x7A35, 0x4D7E, {0x9A, 0x61, 0x5C, 0x1D, 0x2E, 0x3F, 0x4A, 0x02}};
const GUID kLib = {0xB0B1E0C2, 0x7A35, 0x4D7E, {0x9A, 0x61, 0x5C, 0x1D, 0x2E, 0x3F, 0x4A, 0x03}};
const std::string kServer = vtest::comFixturePath();

std::string readDefault(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
  char buf[1024] = {};
  DWORD size = sizeof buf - 1, type = 0;
  LSTATUS st = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

bool keyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void registerEcho(const std::string& module = kServer) { vtest::registerComFixture(module); }

class ComRuntime : public ::testing::Test {
 protected:
  void TearDown() override {
    velmora::com::deleteTree(HKEY_CLASSES_ROOT, "Velmora.TestEcho.1");
    velmora::com::deleteTree(HKEY_CLASSES_ROOT, "Velmora.TestEcho");
    velmora::com::deleteTree(HKEY_CLASSES_ROOT, "CLSID\\" + guidText(kEcho));
  }

  IDispatch* createEcho() {
    IDispatch* d = nullptr;
    EXPECT_EQ(CoCreateInstance(kEcho, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
              S_OK);
    return d;
  }

  static DISPID idOf(IDispatch* d, const char16_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    return SUCCEEDED(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) ? id : id == DISPID_UNKNOWN ? -1 : -2;
  }
};

TEST(ComGuidText, RoundTripsAndRejectsOtherForms) {
  OLECHAR buf[CHARS_IN_GUID];
  ASSERT_EQ(StringFromGUID2(kEcho, buf, CHARS_IN_GUID), CHARS_IN_GUID);
  EXPECT_EQ(std::u16string(buf), u"{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A01}");
  EXPECT_EQ(StringFromGUID2(kEcho, buf, CHARS_IN_GUID - 1), 0);
  CLSID back{};
  ASSERT_EQ(CLSIDFromString(u"{b0b1e0c2-7a35-4d7e-9a61-5c1d2e3f4a01}", &back), S_OK);
  EXPECT_TRUE(back == kEcho);
  for (const char16_t* bad : {u"B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A01", u"{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A0}",
                              u"{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A0G}", u"{B0B1E0C2+7A35-4D7E-9A61-5C1D2E3F4A01}",
                              u"{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A011}"}) {
    CLSID c = kEcho;
    EXPECT_EQ(CLSIDFromString(bad, &c), CO_E_CLASSSTRING) << toUtf8(bad);
    EXPECT_TRUE(c == GUID_NULL);
  }
}

TEST_F(ComRuntime, FindsClassesByProgIdAndReportsWhatIsMissing) {
  CLSID c{};
  EXPECT_EQ(CLSIDFromProgID(u"Velmora.TestEcho", &c), CO_E_CLASSSTRING);
  IDispatch* d = reinterpret_cast<IDispatch*>(1);
  EXPECT_EQ(CoCreateInstance(kEcho, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(d, nullptr);

  registerEcho();
  for (const char16_t* progId : {u"Velmora.TestEcho.1", u"Velmora.TestEcho", u"velmora.testecho"}) {
    c = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(progId, &c), S_OK) << toUtf8(progId);
    EXPECT_TRUE(c == kEcho);
  }
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(kEcho, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"Velmora.TestEcho.1");
  CoTaskMemFree(progId);
  EXPECT_EQ(CoCreateInstance(kEcho, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
            REGDB_E_CLASSNOTREG);

  // A module that is not there, and one that is no server.
  registerEcho(std::string(VELMORA_BUILD_DIR) + "/fixtures/comserver/missing.so");
  EXPECT_EQ(CoCreateInstance(kEcho, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
            HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  registerEcho(std::string(VELMORA_BUILD_DIR) + "/fixtures/ncrypt-partial/ncrypt.so");
  EXPECT_EQ(CoCreateInstance(kEcho, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
            CO_E_ERRORINDLL);
}

TEST_F(ComRuntime, DispatchesThroughTheTypeDescription) {
  registerEcho();
  IDispatch* d = createEcho();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(idOf(d, u"REPEAT"), 1);
  EXPECT_EQ(idOf(d, u"count"), 2);
  EXPECT_EQ(idOf(d, u"Hidden"), -1);  // in the function table only
  EXPECT_EQ(idOf(d, u"Nope"), -1);

  // Repeat("ab", "3"): the text count converts as automation converts.
  VARIANT args[2];
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocString(u"ab");
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(u"3");
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &result, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(result.bstrVal, SysStringLen(result.bstrVal)), u"ababab");
  VariantClear(&result);

  struct Case {
    const char* what;
    DISPID id;
    WORD flags;
    UINT count;
    HRESULT expected;
  };
  // args[0] is "3"; replaced below by text that is no number.
  const Case cases[] = {
      {"too few", 1, DISPATCH_METHOD, 1, DISP_E_BADPARAMCOUNT},
      {"a property put", 1, DISPATCH_PROPERTYPUT, 2, DISP_E_MEMBERNOTFOUND},
      {"a property read as a call", 2, DISPATCH_METHOD, 0, DISP_E_MEMBERNOTFOUND},
      {"an unknown id", 77, DISPATCH_METHOD, 0, DISP_E_MEMBERNOTFOUND},
      {"the hidden member's slot", 4, DISPATCH_METHOD, 0, DISP_E_MEMBERNOTFOUND},
  };
  for (const auto& c : cases) {
    DISPPARAMS p{c.count ? args + (2 - c.count) : nullptr, nullptr, c.count, 0};
    EXPECT_EQ(d->Invoke(c.id, IID_NULL, 0, c.flags, &p, &result, nullptr, nullptr), c.expected) << c.what;
  }
  SysFreeString(args[0].bstrVal);
  args[0].bstrVal = SysAllocString(u"three");
  UINT argErr = 99;
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);  // rgvarg index of the argument at fault
  VariantClear(&args[0]);
  VariantClear(&args[1]);

  // A failing member: the exception carries its code.
  VARIANT code;
  code.vt = VT_I4;
  code.lVal = LONG(E_ACCESSDENIED);
  DISPPARAMS one{&code, nullptr, 1, 0};
  EXCEPINFO ex{};
  EXPECT_EQ(d->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &one, &result, &ex, nullptr), DISP_E_EXCEPTION);
  EXPECT_EQ(ex.scode, E_ACCESSDENIED);

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(d->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 2);  // Repeat and Fail ran; the refused calls did not
  d->Release();
}

TEST_F(ComRuntime, KeepsServersLoadedWhileObjectsLive) {
  registerEcho();
  IDispatch* d = createEcho();
  ASSERT_NE(d, nullptr);
  void* module = dlopen(kServer.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr);
  auto live = reinterpret_cast<long (*)()>(dlsym(module, "TestEchoLiveCount"));
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(live(), 1);
  CoFreeUnusedLibraries();
  EXPECT_EQ(idOf(d, u"Repeat"), 1);  // still callable
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kEcho, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(TRUE);
  IUnknown* inner = nullptr;
  IUnknown* outer = reinterpret_cast<IUnknown*>(d);
  EXPECT_EQ(factory->CreateInstance(outer, IID_IDispatch, reinterpret_cast<void**>(&inner)), CLASS_E_NOAGGREGATION);
  factory->Release();
  d->Release();
  EXPECT_EQ(live(), 1);  // the lock
  factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kEcho, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  factory->LockServer(FALSE);
  factory->Release();
  EXPECT_EQ(live(), 0);
  dlclose(module);
  CoFreeUnusedLibraries();
  d = createEcho();  // loads again
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(idOf(d, u"Repeat"), 1);
  d->Release();
}

TEST_F(ComRuntime, RegistersAndRemovesTypeLibraries) {
  const std::u16string path = velmora::com::toU16(kServer);
  ITypeLib* lib = nullptr;
  ASSERT_EQ(LoadTypeLib(path.c_str(), &lib), S_OK);
  EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
  ITypeInfo* info = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(kIEcho, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 3);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  info->ReleaseTypeAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(info->GetDocumentation(2, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(std::u16string(name), u"Count");
  EXPECT_EQ(std::u16string(doc), u"property Count");
  SysFreeString(name);
  SysFreeString(doc);
  info->Release();
  EXPECT_EQ(lib->GetTypeInfoOfGuid(kEcho, &info), S_OK);
  info->Release();
  const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(lib->GetTypeInfoOfGuid(other, &info), TYPE_E_ELEMENTNOTFOUND);

  ASSERT_EQ(RegisterTypeLib(lib, path.c_str(), nullptr), S_OK);
  lib->Release();
  const std::string base = "TypeLib\\" + guidText(kLib) + "\\1.0";
  EXPECT_EQ(readDefault(base), "Test Echo 1.0 Type Library");
  EXPECT_EQ(readDefault(base + "\\409\\win64"), kServer);
  EXPECT_EQ(readDefault(base + "\\FLAGS"), "0");
  EXPECT_EQ(readDefault("Interface\\" + guidText(kIEcho)), "ITestEcho");
  EXPECT_EQ(readDefault("Interface\\" + guidText(kIEcho) + "\\TypeLib"), guidText(kLib));

  ASSERT_EQ(LoadRegTypeLib(kLib, 1, 0, 0x409, &lib), S_OK);
  lib->Release();
  EXPECT_EQ(LoadRegTypeLib(kLib, 2, 0, 0x409, &lib), TYPE_E_LIBNOTREGISTERED);

  // Unregistration is found in "oleaut32.dll", as servers look it up.
  HMODULE oleaut = LoadLibraryA("oleaut32.dll");
  ASSERT_NE(oleaut, nullptr);
  auto unregister = reinterpret_cast<decltype(&UnRegisterTypeLib)>(reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
  ASSERT_EQ(unregister, &UnRegisterTypeLib);
  EXPECT_EQ(unregister(kLib, 1, 0, 0x409, SYS_WIN64), S_OK);
  FreeLibrary(oleaut);
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "TypeLib\\" + guidText(kLib)));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "Interface\\" + guidText(kIEcho)));
  EXPECT_EQ(UnRegisterTypeLib(kLib, 1, 0, 0x409, SYS_WIN64), TYPE_E_REGISTRYACCESS);

  const std::u16string missing = velmora::com::toU16(kServer + ".gone");
  EXPECT_EQ(LoadTypeLib(missing.c_str(), &lib), TYPE_E_CANTLOADLIBRARY);
  const std::u16string noResource = velmora::com::toU16(kServer + "\\2");
  EXPECT_EQ(LoadTypeLib(noResource.c_str(), &lib), TYPE_E_CANTLOADLIBRARY);
}

TEST(RegistryTree, DeletesAKeyWithEverythingBelowOrOnlyItsContents) {
  HKEY key = nullptr;
  for (const char* path : {"Software\\TreeTest\\a\\b\\c", "Software\\TreeTest\\a\\d", "Software\\TreeTestSibling"}) {
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(key);
  }
  ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TreeTest\\a"), ERROR_SUCCESS);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\TreeTest\\a"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\TreeTest"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\TreeTestSibling"));
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TreeTest\\a"), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\TreeTest\\e\\f", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\TreeTest", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  RegSetValueExA(key, "kept?", 0, REG_SZ, reinterpret_cast<const BYTE*>("no"), 3);
  EXPECT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
  char sub[64];
  DWORD len = sizeof sub;
  EXPECT_EQ(RegEnumKeyExA(key, 0, sub, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegQueryValueExA(key, "kept?", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\TreeTest"));
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software"), ERROR_SUCCESS);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\TreeTestSibling"));
}

}  // namespace
