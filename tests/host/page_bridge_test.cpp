// window.external in a plain JavaScriptCore context, with a transport that
// hands each request straight to the window object (what the host's socket
// server does, without the socket), and the channel's framing.
#include <jsc/jsc.h>

#include <objbase.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel/bridge_server.h"
#include "channel/object_table.h"
#include "channel/page_bridge.h"
#include "channel/wire.h"
#include "client_dlg.h"
#include "method_table.h"
#include "test_support.h"
#include "com/server.h"

namespace {

using namespace velmora::channel;

class DirectTransport : public Transport {
 public:
  explicit DirectTransport(IDispatch* d) : dispatch_(d) {}
  bool request(const std::string& payload, Message& reply) override {
    Message m;
    if (!decode(payload, m)) return false;
    std::string answer;
    if (m.kind == Kind::Lookup) answer = encodeResult(Value::ofInt(lookupOverChannel(dispatch_, m.name)));
    else if (m.kind == Kind::Call) {
      frames.push_back(m.frame);
      calls.push_back(bridge::methodTable()[size_t(m.dispid) - 1].name + std::string("/") + std::to_string(m.args.size()));
      answer = invokeOverChannel(dispatch_, m.dispid, m.args);
    } else if (m.kind == Kind::Create || m.kind == Kind::Member || m.kind == Kind::Invoke) {
      answer = objects.answer(m);
    } else return false;
    if (m.kind == Kind::Lookup) ++lookups;
    return decode(answer, reply);
  }
  void notify(const std::string& payload) override {
    Message m;
    if (decode(payload, m) && m.kind == Kind::Release) {
      objects.answer(m);
      ++releases;
    }
  }
  ObjectTable objects;
  int releases = 0;
  bool down = false;
  int lookups = 0;
  std::vector<std::string> frames;
  std::vector<std::string> calls;  // "name/argument count"

 private:
  IDispatch* dispatch_;
};

class DownTransport : public Transport {
 public:
  bool request(const std::string&, Message&) override { return false; }
  void notify(const std::string&) override {}
};

class PageBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = jsc_context_new();
    std::string error;
    ASSERT_TRUE(installPageBridge(ctx_, "https://portal.example/home", &transport_, false, &error)) << error;
  }
  void TearDown() override { g_object_unref(ctx_); }

  // Evaluates script and gives the result as a string ("EXC:" + the
  // exception's name and message when it threw).
  std::string eval(const std::string& code) {
    JSCValue* v = jsc_context_evaluate(ctx_, code.c_str(), -1);
    std::string out;
    if (JSCException* ex = jsc_context_get_exception(ctx_)) {
      out = std::string("EXC:") + (jsc_exception_get_name(ex) ? jsc_exception_get_name(ex) : "") + ":" +
            (jsc_exception_get_message(ex) ? jsc_exception_get_message(ex) : "");
      jsc_context_clear_exception(ctx_);
    } else {
      char* s = jsc_value_to_string(v);
      out = s ? s : "";
      g_free(s);
    }
    if (v) g_object_unref(v);
    return out;
  }

  CFENROClientDlg dlg_;
  DirectTransport transport_{&dlg_};
  JSCContext* ctx_ = nullptr;
};

TEST_F(PageBridge, MethodsAreFoundWithoutRegardToCase) {
  EXPECT_EQ(eval("external.getVersion()"), "1.8.0.0");
  EXPECT_EQ(eval("external.GETVERSION()"), "1.8.0.0");
  EXPECT_EQ(eval("external.Capi_GetVersion()"), "4.0.1.4");
  EXPECT_EQ(eval("typeof external.nosuchmethod"), "undefined");
  EXPECT_EQ(eval("'getversion' in external"), "true");
  EXPECT_EQ(eval("window = undefined; typeof external.getReaderList"), "function");
  EXPECT_EQ(transport_.frames.back(), "https://portal.example/home");
}

TEST_F(PageBridge, NamesAreLookedUpOncePerSpelling) {
  eval("for (var i = 0; i < 5; ++i) external.getVersion();");
  const int after = transport_.lookups;
  eval("for (var i = 0; i < 5; ++i) external.getVersion();");
  EXPECT_EQ(transport_.lookups, after);
}

TEST_F(PageBridge, ResultsAreTextsAndInt16) {
  EXPECT_EQ(eval("typeof external.capi_GetErrorCode()"), "number");
  EXPECT_EQ(eval("external.GetCardStatus()"), "-28672");  // 0x9000 as int16
  EXPECT_EQ(eval("JSON.stringify(external.getReaderList())"), "\"\"");
  EXPECT_EQ(eval("typeof external.capi_GetCertB64()"), "string");
  EXPECT_EQ(eval("typeof external.browseWeb('')"), "undefined");
}

TEST_F(PageBridge, WrongCountOrUnconvertibleArgumentIsATypeError) {
  EXPECT_EQ(eval("try { external.getVersion(1); 'no' } catch (e) { (e instanceof TypeError) + ' ' + e.number }"),
            "true -2147352562");  // DISP_E_BADPARAMCOUNT
  EXPECT_EQ(eval("try { external.ReadEF1001('abc'); 'no' } catch (e) { (e instanceof TypeError) + ' ' + e.number }"),
            "true -2147352571");  // DISP_E_TYPEMISMATCH
  EXPECT_EQ(eval("typeof external.ReadEF1001('3')"), "string");
  EXPECT_EQ(eval("typeof external.ReadEF1001(3)"), "string");
}

TEST_F(PageBridge, TamperingWithBuiltInsChangesNothing) {
  EXPECT_EQ(eval("String.prototype.toLowerCase = function () { return 'x'; };"
                 "String.prototype.toUpperCase = function () { return 'x'; };"
                 "external.GetVersion()"),
            "1.8.0.0");
  EXPECT_EQ(eval("var RealTE = TypeError; TypeError = function () {}; Proxy = null;"
                 "try { external.getVersion(1) } catch (e) { e instanceof RealTE }"),
            "true");
  EXPECT_EQ(eval("try { external = 1; } catch (e) {} typeof external.getVersion"), "function");
}

// The script bridge library, as carried beside the program.
TEST_F(PageBridge, TheScriptLibraryWrapsTheBridgeAsPart17Says) {
  const std::string lib = vtest::readFile(std::string(VELMORA_BIN_DIR) + "/velmora-bridge.js");
  ASSERT_FALSE(lib.empty());
  for (size_t i = 0; i < lib.size(); ++i) {
    ASSERT_LT(static_cast<unsigned char>(lib[i]), 0x80) << "plain ASCII, at byte " << i;
    if (lib[i] == '\n') {
      ASSERT_TRUE(i > 0 && lib[i - 1] == '\r') << "CR LF line ends, at byte " << i;
    }
  }
  ASSERT_EQ(eval(lib + "; 'loaded'"), "loaded");
  EXPECT_EQ(eval("[CardTool, JCIC, CAPI, certReg, taimac].map(function (C) { return Object.keys(new C()).length; }).join()"),
            "7,34,52,8,25");
  EXPECT_EQ(eval("Object.getOwnPropertyNames(CAPI.prototype).length"), "1");  // no prototype methods
  // Evaluating wrappers: a result of 10 gives the "registration failed" object.
  EXPECT_EQ(eval("var r = new CardTool().RegCert('csp'); r.errCode"), "-1");
  EXPECT_EQ(eval("typeof new CardTool().QueryCert()"), "object");
  transport_.calls.clear();
  eval("new CardTool().ChangePin('1', '2'); new CardTool().login('1'); new JCIC().Login('1', '2');"
       "new taimac().Read8000(1, '2'); new taimac().ResetANPIN('9'); new CAPI().SetProviderName('p');"
       "new CAPI().Hash('a', 0); new JCIC().GetVersion(); new certReg().RegSMCert('c')");
  EXPECT_EQ(transport_.calls,
            (std::vector<std::string>{"ChangePin1/2", "login/2", "jcicLogin/2", "mac_Read8000/2", "mac_ResetANPIN/1",
                                      "SetProviderName/1", "capi_Hash/2", "get_GetVersion/0", "certReg_RegSMCert/1"}));
  // Bridge errors propagate unchanged.
  EXPECT_EQ(eval("try { new CAPI().Hash('a', 'x'); 'no' } catch (e) { e instanceof TypeError }"), "true");
}

TEST(PageBridgeDown, AnUnreachableHostIsAScriptError) {
  JSCContext* ctx = jsc_context_new();
  DownTransport down;
  ASSERT_TRUE(installPageBridge(ctx, "about:blank", &down, false));
  JSCValue* v = jsc_context_evaluate(ctx, "try { external.getVersion(); 'no' } catch (e) { e.message }", -1);
  char* s = jsc_value_to_string(v);
  EXPECT_NE(std::string(s).find("not reachable"), std::string::npos) << s;
  g_free(s);
  g_object_unref(v);
  g_object_unref(ctx);
}

TEST(Wire, MessagesSurviveTheirEncoding) {
  const std::vector<Value> args{Value::undefined(), Value::null(), Value::ofBool(true), Value::ofInt(-7),
                                Value::ofDouble(2.5), Value::ofString(std::string("a\0b\xe6\xb8\xac", 5))};
  Message m;
  ASSERT_TRUE(decode(encodeCall(42, "https://x/", args), m));
  EXPECT_EQ(m.kind, Kind::Call);
  EXPECT_EQ(m.dispid, 42);
  EXPECT_EQ(m.frame, "https://x/");
  EXPECT_EQ(m.args, args);
  ASSERT_TRUE(decode(encodeFault(int32_t(0x8002000E), 0, "bad"), m));
  EXPECT_EQ(m.code, int32_t(0x8002000E));
  EXPECT_EQ(m.message, "bad");
  // Truncated, trailing bytes, an unknown kind, a lying count.
  const std::string call = encodeCall(1, "f", args);
  EXPECT_FALSE(decode(call.substr(0, call.size() - 1), m));
  EXPECT_FALSE(decode(call + "x", m));
  EXPECT_FALSE(decode("Z", m));
  std::string lie = encodeCall(1, "", {});
  lie[lie.size() - 4] = char(0xFF);
  EXPECT_FALSE(decode(lie, m));
}

TEST(Wire, FrameBufferCutsFramesAndRefusesOversizedOnes) {
  FrameBuffer fb(16);
  const std::string a = frame("hello"), b = frame("world!");
  const std::string both = a + b;
  for (char c : both) fb.append(&c, 1);
  std::string p;
  ASSERT_TRUE(fb.next(p));
  EXPECT_EQ(p, "hello");
  ASSERT_TRUE(fb.next(p));
  EXPECT_EQ(p, "world!");
  EXPECT_FALSE(fb.next(p));
  fb.append(frame(std::string(17, 'x')).data(), 21);
  EXPECT_FALSE(fb.next(p));
  EXPECT_TRUE(fb.broken());
}

TEST(Channel, FaultsNameTheArgumentAtFault) {
  CFENROClientDlg dlg;
  const int32_t id = lookupOverChannel(&dlg, "READEF1001");
  ASSERT_GT(id, 0);
  Message m;
  ASSERT_TRUE(decode(invokeOverChannel(&dlg, id, {Value::ofString("abc")}), m));
  EXPECT_EQ(m.kind, Kind::Fault);
  EXPECT_EQ(m.argument, 1u);
  ASSERT_TRUE(decode(invokeOverChannel(&dlg, id, {}), m));
  EXPECT_EQ(m.kind, Kind::Fault);
  EXPECT_EQ(uint32_t(m.code), 0x8002000Eu);
  EXPECT_EQ(lookupOverChannel(&dlg, "no_such"), 0);
}

}  // namespace

namespace {

constexpr const char* kEchoClsid = "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A01}";
constexpr const char* kUnsafeClsid = "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A04}";

CLSID clsidOf(const char* text) {
  const std::u16string wide(text, text + strlen(text));
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromString(wide.c_str(), &clsid), S_OK);
  return clsid;
}

// The fixture's classes are the ones pages may create in these tests, as
// the host names its components' classes.
void allowFixtureClasses() {
  setPageClasses({{clsidOf(kEchoClsid), vtest::comFixturePath()}, {clsidOf(kUnsafeClsid), vtest::comFixturePath()}});
}

// new ActiveXObject(...) against the comserver fixture, registered in this
// test's profile.
class PageObjects : public PageBridge {
 protected:
  void SetUp() override {
    PageBridge::SetUp();
    vtest::registerComFixture();
    allowFixtureClasses();
  }
  void TearDown() override {
    setPageClasses({});
    PageBridge::TearDown();
  }
  std::string attempt(const std::string& progId) {
    return eval("try { new ActiveXObject('" + progId + "'); 'created' } catch (e) { e.message + ' ' + e.number }");
  }
  static constexpr const char* kRefused = "Automation server can't create object -2146827859";
};

TEST_F(PageObjects, CreatesObjectsAndCallsTheirMembersByName) {
  EXPECT_EQ(eval("var o = new ActiveXObject('Velmora.TestEcho'); typeof o"), "object");
  EXPECT_EQ(eval("o.Repeat('ab', 3)"), "ababab");
  EXPECT_EQ(eval("o.REPEAT('x', '2')"), "xx");                  // any case; text that is a number
  EXPECT_EQ(eval("o.Count"), "2");                              // a property is read, not called
  EXPECT_EQ(eval("typeof o.Hidden + ' ' + ('repeat' in o) + ' ' + ('Hidden' in o)"), "undefined true false");
  EXPECT_EQ(eval("try { o.Repeat('a'); 'no' } catch (e) { (e instanceof TypeError) + ' ' + e.number }"),
            "true -2147352562");                                // DISP_E_BADPARAMCOUNT
  EXPECT_EQ(eval("try { o.Fail(-2147024891); 'no' } catch (e) { (e instanceof TypeError) + ' ' + e.number }"),
            "false -2147024891");                               // the member's own failure
  EXPECT_EQ(eval("try { o.Count = 3; 'no' } catch (e) { e.number }"), "-2146827850");
  // Objects keep their own state; a second one starts afresh.
  EXPECT_EQ(eval("var p = ActiveXObject('Velmora.TestEcho.1'); p.Count + ' ' + o.Count"), "0 3");
  EXPECT_EQ(transport_.objects.size(), 2u);
}

TEST_F(PageObjects, RefusesUnknownAndUnsafeClasses) {
  const std::string create = "try { new ActiveXObject(%s); 'created' } catch (e) { e.message + ' ' + e.number }";
  auto attempt = [&](const std::string& arg) {
    std::string code = create;
    code.replace(code.find("%s"), 2, arg);
    return eval(code);
  };
  const std::string refused = "Automation server can't create object -2146827859";
  EXPECT_EQ(attempt("'No.Such.Class'"), refused);
  EXPECT_EQ(attempt("''"), refused);
  EXPECT_EQ(attempt("'CLSID\\\\{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A01}'"), refused);
  EXPECT_EQ(attempt("'Velmora.TestUnsafe'"), refused);  // no IObjectSafety and no category
  EXPECT_EQ(transport_.objects.size(), 0u);
  // Registered as safe for scripting, the class may be created.
  ASSERT_EQ(velmora::com::setKey(HKEY_CLASSES_ROOT,
                                 "CLSID\\{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A04}\\Implemented Categories\\"
                                 "{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
                                 nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(attempt("'Velmora.TestUnsafe'"), "created");
}

// A page that registers a class of its own (or points one of ours at
// another library) gets an error, and the library is never loaded: its
// constructor would run in the host.
TEST_F(PageObjects, RegistrationsThatNameAnotherLibraryLoadNothing) {
  const std::string marker = vtest::makeTempDir("marker") + "/loaded";
  setenv("VELMORA_TEST_MARKER", marker.c_str(), 1);
  const std::string library = std::string(VELMORA_BUILD_DIR) + "/fixtures/marker/marker.so";
  const std::string foreign = "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4AFF}";
  using velmora::com::setKey;
  ASSERT_EQ(setKey(HKEY_CLASSES_ROOT, "Evil.Marker\\CLSID", foreign.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(setKey(HKEY_CLASSES_ROOT, "CLSID\\" + foreign + "\\InprocServer32", library.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(attempt("Evil.Marker"), kRefused);
  EXPECT_EQ(attempt("CLSID\\\\" + foreign), kRefused);

  // One of our classes, its registration pointed elsewhere: by path, by a
  // relative name and through a link to the other library.
  const std::string link = vtest::makeTempDir("link") + "/comserver.so";
  ASSERT_EQ(symlink(library.c_str(), link.c_str()), 0);
  for (const std::string& elsewhere : {library, std::string("marker.so"), link}) {
    ASSERT_EQ(setKey(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kEchoClsid + "\\InprocServer32", elsewhere.c_str()),
              ERROR_SUCCESS);
    EXPECT_EQ(attempt("Velmora.TestEcho"), kRefused) << elsewhere;
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the foreign library was loaded";
  EXPECT_EQ(transport_.objects.size(), 0u);

  // Registered again as ours, the class is created as before.
  vtest::registerComFixture();
  EXPECT_EQ(attempt("Velmora.TestEcho"), "created");
  unsetenv("VELMORA_TEST_MARKER");
}

TEST(ObjectTable, OnlyTheNamedClassesAreCreated) {
  vtest::registerComFixture();
  Message create;
  create.kind = Kind::Create;
  create.name = "Velmora.TestEcho";
  Message reply;
  {
    setPageClasses({});
    ObjectTable table;
    ASSERT_TRUE(decode(table.answer(create), reply));
    EXPECT_EQ(reply.kind, Kind::Fault);
  }
  allowFixtureClasses();
  ObjectTable table;
  ASSERT_TRUE(decode(table.answer(create), reply));
  EXPECT_EQ(reply.kind, Kind::Result);
  setPageClasses({});
}

TEST(ObjectTable, AnswersForReleasedAndForeignHandles) {
  vtest::registerComFixture();
  allowFixtureClasses();
  ObjectTable table;
  Message create;
  create.kind = Kind::Create;
  create.name = "Velmora.TestEcho";
  Message reply;
  ASSERT_TRUE(decode(table.answer(create), reply));
  ASSERT_EQ(reply.kind, Kind::Result);
  const int32_t handle = reply.value.integer;

  Message member;
  member.kind = Kind::Member;
  member.handle = handle;
  member.name = "count";
  ASSERT_TRUE(decode(table.answer(member), reply));
  EXPECT_EQ(reply.kind, Kind::Found);
  EXPECT_EQ(reply.dispid, 2);
  EXPECT_EQ(reply.flags, kMemberProperty);

  Message invoke;
  invoke.kind = Kind::Invoke;
  invoke.handle = handle;
  invoke.dispid = 2;
  invoke.flags = 0x4;  // a property put is not for pages
  ASSERT_TRUE(decode(table.answer(invoke), reply));
  EXPECT_EQ(reply.kind, Kind::Fault);

  Message release;
  release.kind = Kind::Release;
  release.handle = handle;
  EXPECT_EQ(table.answer(release), "");
  EXPECT_EQ(table.size(), 0u);
  for (int32_t h : {handle, handle + 1, 0, -1}) {
    invoke.handle = member.handle = h;
    invoke.flags = 0x2;
    ASSERT_TRUE(decode(table.answer(invoke), reply));
    EXPECT_EQ(reply.kind, Kind::Fault);
    EXPECT_EQ(uint32_t(reply.code), 0x800A01A8u) << h;  // "Object required"
    ASSERT_TRUE(decode(table.answer(member), reply));
    EXPECT_EQ(reply.kind, Kind::Fault);
  }
}

}  // namespace
