// The bridge method table and its dispatch interface.
#include <oleauto.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage_internal.h"
#include "client_dlg.h"
#include "method_table.h"
#include "test_support.h"

namespace {

using velmora::platform::toNarrow;
using velmora::platform::toWide;

VARIANT str(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

VARIANT i4(LONG n) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

VARIANT r8(double d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}

struct Outcome {
  HRESULT hr = E_FAIL;
  VARIANT result{};
  UINT argErr = 0;
  std::string text() const {
    return result.vt == VT_BSTR ? toNarrow(std::u16string_view(result.bstrVal, SysStringLen(result.bstrVal)), CP_UTF8)
                                : "<not a string>";
  }
  ~Outcome() { VariantClear(&result); }
};

class Bridge : public testing::Test {
 protected:
  // Calls by name with the arguments in page order.
  void call(Outcome& out, const char16_t* name, std::vector<VARIANT> args = {}) {
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = 0;
    out.hr = dlg.GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (SUCCEEDED(out.hr)) {
      std::vector<VARIANT> reversed(args.rbegin(), args.rend());
      DISPPARAMS params{reversed.data(), nullptr, UINT(reversed.size()), 0};
      VariantInit(&out.result);
      out.hr = dlg.Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &out.result, nullptr, &out.argErr);
    }
    for (auto& a : args) VariantClear(&a);
  }
  int int16(const char16_t* name, std::vector<VARIANT> args = {}) {
    Outcome o;
    call(o, name, std::move(args));
    EXPECT_EQ(o.hr, S_OK) << toNarrow(name, CP_UTF8);
    EXPECT_EQ(o.result.vt, VT_I2) << toNarrow(name, CP_UTF8);
    return o.result.iVal;
  }
  std::string text(const char16_t* name, std::vector<VARIANT> args = {}) {
    Outcome o;
    call(o, name, std::move(args));
    EXPECT_EQ(o.hr, S_OK) << toNarrow(name, CP_UTF8);
    return o.text();
  }

  CFENROClientDlg dlg;
};

TEST(MethodTable, OrderNamesAndTypes) {
  const auto& table = bridge::methodTable();
  ASSERT_EQ(table.size(), 138u);
  using P = bridge::ParamType;
  using R = bridge::ResultType;
  struct Row {
    int id;
    const char* name;
    std::vector<P> params;
    R result;
  } rows[] = {
      {1, "browseWeb", {P::String}, R::None},
      {2, "getVersion", {}, R::String},
      {6, "ChangePin1", {P::String, P::String}, R::Int16},
      {10, "regCert", {P::String}, R::String},
      {12, "ReadEF1001", {P::Int32}, R::String},
      {16, "MakePKCS10", {P::Int32, P::Int32, P::String}, R::Int16},
      {33, "jcicLogin", {P::String, P::String}, R::Int16},
      {48, "MacVerifyC9Pin", {P::String}, R::Int16},
      {62, "SetProviderName", {P::String}, R::Int16},
      {64, "capi_CreatePKCS10_2", {P::String, P::Int32, P::Int32}, R::String},
      {89, "capi_SelectSignerEx",
       {P::String, P::String, P::String, P::String, P::String, P::Int32, P::Int32}, R::Int16},
      {103, "capi_CertDecryptPkcs7", {P::String, P::Int32}, R::String},
      {111, "certReg_GetSn", {}, R::String},
      {129, "mac_ResetANPIN", {P::String}, R::Int16},
      {130, "mac_Read8000", {P::Int32, P::String}, R::String},
      {137, "mac_GetCardStatus", {}, R::Int16},
      {138, "setWindowSize", {P::Float32, P::Float32}, R::None},
  };
  for (const auto& r : rows) {
    const auto& m = table[size_t(r.id) - 1];
    EXPECT_STREQ(m.name, r.name) << r.id;
    EXPECT_EQ(m.params, r.params) << r.name;
    EXPECT_EQ(m.result, r.result) << r.name;
  }
  std::set<std::string> folded;
  for (const auto& m : table) {
    std::string n = m.name;
    for (auto& c : n) c = char(toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(folded.insert(n).second) << "two methods named " << m.name;
  }
}

TEST_F(Bridge, NamesIgnoreCaseAndUnknownNamesFail) {
  EXPECT_EQ(bridge::findMethod(u"GETVERSION"), 2);
  EXPECT_EQ(bridge::findMethod(u"setwindowsize"), 138);
  EXPECT_EQ(text(u"GETVERSION"), "1.8.0.0");
  Outcome o;
  call(o, u"ChangePin", {str(u"1"), str(u"2")});
  EXPECT_EQ(o.hr, DISP_E_UNKNOWNNAME);
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(dlg.Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(dlg.Invoke(139, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
}

TEST_F(Bridge, ArgumentsAreCheckedBeforeTheHandlerRuns) {
  // No slot: the token component's status is 0x9022 after this call.
  EXPECT_EQ(int16(u"jcicLogin", {str(u"1"), str(u"2")}), -28638);
  Outcome mismatch;
  call(mismatch, u"SetTokenType", {str(u"abc")});
  EXPECT_EQ(mismatch.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(mismatch.argErr, 0u);
  Outcome count;
  call(count, u"SetTokenType", {i4(2), i4(2)});
  EXPECT_EQ(count.hr, DISP_E_BADPARAMCOUNT);
  Outcome overflow;
  call(overflow, u"SetTokenType", {r8(1e12)});
  EXPECT_EQ(overflow.hr, DISP_E_OVERFLOW);
  // None of the refused calls ran: a SetTokenType that ran would have set 8001.
  EXPECT_EQ(int16(u"get_GetErrorCode"), -28638);

  // Text that is a number converts, so the handler runs.
  EXPECT_EQ(int16(u"SetTokenType", {str(u"2")}), 8001);  // no module on this path
  EXPECT_EQ(int16(u"get_GetErrorCode"), 8001);
  EXPECT_EQ(text(u"ReadEF1001", {str(u"3")}), "");
  Outcome oneArg;
  call(oneArg, u"mac_ResetANPIN", {str(u"1"), str(u"2")});
  EXPECT_EQ(oneArg.hr, DISP_E_BADPARAMCOUNT);

  std::u16string n = u"getVersion";
  LPOLESTR names[] = {n.data()};
  DISPID id = 0;
  ASSERT_EQ(dlg.GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  VARIANT arg = str(u"x");
  DISPID named = 0;
  DISPPARAMS withNames{&arg, &named, 1, 1};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(dlg.Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &withNames, &result, nullptr, nullptr), DISP_E_NONAMEDARGS);
  VariantClear(&arg);
}

TEST_F(Bridge, ResultsReachThePageConverted) {
  EXPECT_EQ(int16(u"login", {str(u""), str(u"")}), 0);
  EXPECT_EQ(int16(u"capi_GetPortEx"), 821);  // low 16 bits of 0x10335
  EXPECT_EQ(int16(u"jcicLogin", {str(u"1"), str(u"2")}), -28638);  // 0x9022
  EXPECT_EQ(text(u"get_GetErrorMsg"), "no slot!!");
  EXPECT_EQ(text(u"get_GetVersion"), "1,0,0,1");
  EXPECT_EQ(text(u"capi_GetVersion"), "4.0.1.4");
  // The card engine starts in Chinese, the certificate engine in English.
  EXPECT_EQ(text(u"mac_GetErrorMsg"), "成功(0)");
  EXPECT_EQ(text(u"capi_GetErrorMsg"), "Success(0)");

  Outcome none;
  call(none, u"setWindowSize", {r8(1.5), i4(2)});
  EXPECT_EQ(none.hr, S_OK);
  EXPECT_EQ(none.result.vt, VT_EMPTY);

  VARIANT nullText;
  ASSERT_EQ(bridge::setStringResult(&nullText, nullptr), S_OK);
  ASSERT_EQ(nullText.vt, VT_BSTR);
  EXPECT_NE(nullText.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(nullText.bstrVal), 0u);
  VariantClear(&nullText);

  VARIANT low;
  bridge::setInt16Result(&low, 36864);
  EXPECT_EQ(low.iVal, -28672);
  bridge::setInt16Result(&low, 65536);
  EXPECT_EQ(low.iVal, 0);
  bridge::setInt16Result(&low, -1);
  EXPECT_EQ(low.iVal, -1);
}

// A text with a NUL would reach the components cut short; such calls do
// not run: the security component answers with its wrong-parameters status,
// the others with an automation error.
TEST_F(Bridge, TextsWithANulAreRefusedBeforeTheyAreCut) {
  auto nul = [](std::u16string_view s) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(s.data(), UINT(s.size()));
    return v;
  };
  using namespace std::string_view_literals;
  EXPECT_EQ(int16(u"capi_RegWriteHKCUStr", {nul(u"Software\\Pro\0be\\v"sv), str(u"x")}), 5005);
  EXPECT_EQ(int16(u"capi_GetErrorCode"), 5005);
  EXPECT_EQ(int16(u"capi_RegWriteHKCUInt", {str(u"Software\\Probe\\v"), i4(1)}), 0);  // the call itself works
  EXPECT_EQ(int16(u"capi_RegWriteHKCUStr", {str(u"Software\\Probe\\w"), nul(u"a\0b"sv)}), 5005);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Pro", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Probe", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "w", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  struct TextCase {
    const char16_t* method;
    std::vector<VARIANT> args;
  };
  std::vector<TextCase> texts;
  texts.push_back({u"capi_HashFile", {nul(u"/etc/hostname\0.bak"sv), i4(3)}});
  texts.push_back({u"capi_Hash", {nul(u"abc\0def"sv), i4(0x13)}});
  texts.push_back({u"capi_CreatePKCS10", {nul(u"Alice\0Mallory"sv), i4(2048), i4(0)}});
  texts.push_back({u"capi_RegReadHKCU", {nul(u"Software\\Probe\0x\\v"sv)}});
  for (auto& c : texts) {
    const std::string name = toNarrow(c.method, CP_UTF8);
    EXPECT_EQ(text(c.method, std::move(c.args)), "") << name;
    EXPECT_EQ(int16(u"capi_GetErrorCode"), 5005) << name;
  }
  // The token component has no such status: the page gets a script error.
  EXPECT_EQ(int16(u"SetTokenType", {i4(2)}), 8001);
  Outcome token;
  call(token, u"jcicLogin", {nul(u"12\0" u"34"sv), str(u"")});
  EXPECT_EQ(token.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(int16(u"get_GetErrorCode"), 8001);  // jcicLogin never ran
}

TEST(RegCert, CodesBecomeObjectLiterals) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {{-7, "{'errCode':'-1','errMsg':'憑證註冊失敗'}"},
               {10, "{'errCode':'-1','errMsg':'憑證註冊失敗'}"},
               {11, "{'errCode':'0','errMsg':'憑證註冊成功'}"},
               {12, "{'errCode':'0','errMsg':'沒有任何憑證註冊至IE'}"},
               {13, ""}};
  for (const auto& c : cases)
    EXPECT_EQ(velmora::platform::convertCodePage(bridge::regCertText(c.code), CP_ACP, CP_UTF8), c.text) << c.code;
}

TEST_F(Bridge, VersionCheckComparesTextByteByByte) {
  struct Case {
    const char16_t* server;
    int result;
  } cases[] = {
      {u"1.8.0.0", 0}, {u"1.10.0.0", 0}, {u"", 0}, {u"1.7.9.9", 0},
      // Newer: an update is needed, and nothing answers on port 1.
      {u"1.8.0.1", -1}, {u"2", -1}, {u"1.8.0.0 ", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(int16(u"versionCheck", {str(c.server), str(u"https://127.0.0.1:1/setup.exe")}), c.result)
        << toNarrow(c.server, CP_UTF8);
}

TEST_F(Bridge, BrowseWebHandsTheAddressToTheDesktop) {
  const std::string dir = vtest::makeTempDir("xdg");
  const std::string record = dir + "/opened";
  vtest::writeFile(dir + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + "'\n");
  std::filesystem::permissions(dir + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
  Outcome o;
  call(o, u"browseWeb", {str(u"https://example.test/a b?x=$(id)")});
  setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(o.hr, S_OK);
  EXPECT_EQ(o.result.vt, VT_EMPTY);
  for (int i = 0; i < 100 && !std::filesystem::exists(record); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // One argument, untouched by any shell.
  EXPECT_EQ(vtest::readFile(record), "https://example.test/a b?x=$(id)");
}

TEST_F(Bridge, TheWindowObjectIsItsOwnDispatch) {
  IDispatch* disp = nullptr;
  ASSERT_EQ(dlg.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
  EXPECT_EQ(disp, static_cast<IDispatch*>(&dlg));
  disp->Release();
  void* other = nullptr;
  GUID unknown{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(dlg.QueryInterface(unknown, &other), E_NOINTERFACE);
  UINT count = 9;
  EXPECT_EQ(dlg.GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

}  // namespace
