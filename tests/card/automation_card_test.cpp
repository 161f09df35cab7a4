// The automation classes of both components reach the same card code as the
// exported classes, each object with a reader of its own.
#include <dlfcn.h>
#include <quennet/jcic_control.h>
#include <quennet/quennet.h>
#include <strabel/automation.h>
#include <strabel/strabel.h>

#include "card_rig.h"
#include "ui/dialogs.h"

namespace {

using ctest_card::CardRig;
using ctest_card::json;

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);

// Each library's own entry point (both export the same name).
template <class I>
I* create(const char* library, REFCLSID clsid, REFIID iid) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return nullptr;
  auto entry = reinterpret_cast<GetClassObject>(dlsym(lib, "DllGetClassObject"));
  IClassFactory* factory = nullptr;
  I* object = nullptr;
  if (entry && entry(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)) == S_OK) {
    factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
    factory->Release();
  }
  dlclose(lib);
  return object;
}

std::string take(BSTR b) {
  std::string out;
  for (UINT i = 0; b && i < SysStringLen(b); ++i) out += char(b[i]);
  SysFreeString(b);
  return out;
}

TEST(AutomationCard, ObjectsHaveReadersOfTheirOwn) {
  std::string why;
  VTEST_REQUIRE(CardRig::available(why), why);
  CardRig rig;
  ASSERT_TRUE(rig.start());
  json card = ctest_card::standardCard("t1");
  card["files"]["00C7"]["1"] = "31323334353620202020202020202020";
  ASSERT_TRUE(rig.insert(card));
  rig.script({{{"dialog", "reader-select"}, {"button", "ok"}, {"row", 0}}});
  velmora::ui::installDialogService(
      std::make_shared<velmora::ui::ScriptedDialogService>(rig.dir + "/dialogs.script", rig.dir + "/dialogs.log"));

  ITaiMAC10* mac = create<ITaiMAC10>("libstrabel.so", CLSID_TaiMAC10, IID_ITaiMAC10);
  ASSERT_NE(mac, nullptr);
  LONG rc = -1;
  EXPECT_EQ(mac->ConnectCard(&rc), S_OK);
  EXPECT_EQ(rc, 0);
  BSTR text = nullptr;
  EXPECT_EQ(mac->GenRandom(&text), S_OK);
  EXPECT_EQ(take(text), "AQIDBAUGBwg=");
  // The exported class's engine is not connected.
  CCAPITaiMAC10 exported;
  char* none = exported.GenRandom();
  EXPECT_STREQ(none, "");
  delete[] none;
  IJCIC* jcic = create<IJCIC>("libquennet.so", CLSID_JCIC, IID_IJCIC);
  ASSERT_NE(jcic, nullptr);
  EXPECT_EQ(mac->DisConnectCard(&rc), S_OK);
  EXPECT_EQ(rc, 36864);
  rig.script({{{"dialog", "reader-select"}, {"button", "ok"}, {"row", 0}}});
  velmora::ui::installDialogService(
      std::make_shared<velmora::ui::ScriptedDialogService>(rig.dir + "/dialogs.script", rig.dir + "/dialogs.log"));
  EXPECT_EQ(jcic->MacConnectCard(&rc), S_OK);
  EXPECT_EQ(rc, 0);
  BSTR pin = SysAllocString(u"123456");
  EXPECT_EQ(jcic->MacVerifyC7Pin(pin, &rc), S_OK);
  EXPECT_EQ(rc, 0);
  SysFreeString(pin);
  JCICLib lib;
  char* flat = lib.MacGenRandom();
  EXPECT_STREQ(flat, "");  // the class's own reader is not connected
  delete[] flat;
  EXPECT_EQ(jcic->MacDisConnectCard(&rc), S_OK);
  EXPECT_EQ(rc, 0);
  jcic->Release();
  mac->Release();
}

}  // namespace
