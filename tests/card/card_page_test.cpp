// The demo portal's card page in the real program under Xvfb, against the
// card emulator on a private pcscd: the page connects (the reader chosen in
// the reader dialog), reads the card and checks the AN PIN.
#include <string>

#include "card_rig.h"
#include "e2e_support.h"
#include "pages_card.h"

namespace {

using ctest_card::CardRig;
using ctest_card::json;

// Presses the page's buttons in order and reports what it showed.
const char kDrive[] = R"(<script>
window.addEventListener('load', function () {
  var s = function () { return document.getElementById('status').textContent; };
  var out = {};
  connect(); out.connect = s();
  readCard(); out.read = s();
  out.cells = Array.prototype.map.call(document.querySelectorAll('#data td'), function (t) { return t.textContent; });
  document.getElementById('pin').value = '111111'; verifyPin(); out.wrong = s();
  document.getElementById('pin').value = '123456'; verifyPin(); out.right = s();
  document.getElementById('newpin').value = '654321'; changePin(); out.change = s();
  disconnect(); out.disconnect = s();
  var x = new XMLHttpRequest();
  x.open('POST', '/report?name=card');
  x.send(JSON.stringify(out));
});
</script>
</body>)";

TEST(CardPage, ConnectsReadsAndChecksThePinInTheProgram) {
  std::string why;
  VTEST_REQUIRE(CardRig::available(why), why);
  VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
  CardRig rig;
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(rig.insert(ctest_card::standardCard("t0")));
  rig.script({{{"dialog", "reader-select"}, {"button", "ok"}, {"row", 0}}});
  e2e::Display display;
  ASSERT_TRUE(display.start());
  e2e::Portal portal;
  ASSERT_TRUE(portal.start());
  std::string html = velmora::demo::kCardPage;
  html.replace(html.rfind("</body>"), 7, kDrive);
  portal.page("/card", html);
  e2e::Host host(display, portal.url("/card"), e2e::makeRuntimeDir(), "card");
  auto env = rig.env();
  env.pop_back();  // the host keeps its own dialog log
  ASSERT_TRUE(host.start(env));
  const json r = portal.waitReport("card", 60000);
  ASSERT_FALSE(r.is_null()) << "no report from the card page";
  EXPECT_EQ(r["connect"], "connected");
  EXPECT_EQ(r["read"], "read");
  ASSERT_EQ(r["cells"].size(), 8u);
  EXPECT_EQ(r["cells"][1], "ESIzRFVmd4g=");
  EXPECT_EQ(r["cells"][3], "ABCDEFG  ");
  EXPECT_EQ(r["wrong"], "wrong PIN, 2 tries left");
  EXPECT_EQ(r["right"], "the PIN is right");
  EXPECT_EQ(r["change"], "the PIN was changed");
  EXPECT_EQ(r["disconnect"], "disconnected");
  EXPECT_EQ(rig.state()["files"]["00C7"]["1"], "363534333231FFFFFFFFFFFFFFFFFFFF");
  bool readerDialog = false;
  for (const json& d : host.dialogs()) readerDialog = readerDialog || d["kind"] == "reader-select";
  EXPECT_TRUE(readerDialog);
  host.stop();
}

}  // namespace
