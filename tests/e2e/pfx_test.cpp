// The PFX operations from a page in the real program: a file made by
// openssl is imported, looked into, re-encrypted, exported from the store
// and given in the mobile form, all through window.external; openssl opens
// what the page made.
#include <string>

#include "e2e_support.h"
#include "test_support.h"

namespace {

using nlohmann::json;

const char kPage[] = R"HTML(<!DOCTYPE html><html><head><meta charset='utf-8'>
<script src='/velmora-bridge.js'></script></head><body><script>
function report(name, data) {
  var x = new XMLHttpRequest();
  x.open('POST', '/report?name=' + name, false);
  x.send(JSON.stringify(data));
}
var capi = new CAPI(), r = {};
r.imported = capi.ImportPfxToIE(DIR, 'user.pfx', 'pw1', 1, 0);
r.importedName = capi.GetImportedPfxFileName();
r.queried = capi.QueryPfxInfo(DIR, 'user.pfx', 'pw1', 0, 0);
r.holder = capi.GetCertSubjectCN();
r.changed = capi.ChangePfxPasswd(DIR, 'user.pfx', 'pw1', 'pw2', 0);
r.wrongOld = capi.ChangePfxPasswd(DIR, 'user.pfx', 'pw1', 'pw3', 0);
capi.SetDefaultPfxFileName('backup');
r.exported = capi.ExportPfxFromIE('S_CN=E2e Holder', DIR + '/out', 'pw4', 0, 0);
r.exportedName = capi.GetExportedPfxFileName();
r.mobile = capi.ExportMobileFromIE('S_CN=E2e Holder', 'mpw', 0, 0).length;
r.mobileCode = capi.GetErrorCode();
report('pfx', r);
</script></body></html>)HTML";

TEST(BrowserPfx, APageImportsInspectsChangesAndExports) {
  VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  const std::string dir = vtest::makeTempDir("e2epfx");
  // A holder issued by a root (a self-signed certificate is never a candidate).
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=E2e Root",
                                 "-days", "30", "-keyout", dir + "/root.key", "-out", dir + "/root.crt"},
        std::vector<std::string>{"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=E2e Holder",
                                 "-keyout", dir + "/user.key", "-out", dir + "/user.csr"},
        std::vector<std::string>{"openssl", "x509", "-req", "-in", dir + "/user.csr", "-CA", dir + "/root.crt",
                                 "-CAkey", dir + "/root.key", "-set_serial", "7", "-days", "30", "-out",
                                 dir + "/user.crt"}})
    ASSERT_EQ(vtest::runCommand(argv).status, 0) << argv[1];
  ASSERT_EQ(vtest::runCommand({"openssl", "pkcs12", "-export", "-inkey", dir + "/user.key", "-in", dir + "/user.crt",
                               "-passout", "pass:pw1", "-out", dir + "/user.pfx"})
                .status,
            0);
  e2e::Display display;
  ASSERT_TRUE(display.start()) << "Xvfb did not start";
  e2e::Portal portal;
  ASSERT_TRUE(portal.start());
  std::string html = kPage;
  html.insert(html.find("var capi"), "var DIR = '" + dir + "';\n");
  portal.page("/pfx", html);
  e2e::Host host(display, portal.url("/pfx"), e2e::makeRuntimeDir(), "pfx");
  ASSERT_TRUE(host.start());
  const json r = portal.waitReport("pfx", 60000);
  ASSERT_FALSE(r.is_null()) << "no report from the page";
  EXPECT_EQ(r["imported"], 0) << r;
  EXPECT_EQ(r["importedName"], "user.pfx");
  EXPECT_EQ(r["queried"], 0);
  EXPECT_EQ(r["holder"], "E2e Holder");
  EXPECT_EQ(r["changed"], 0);
  EXPECT_EQ(r["wrongOld"], 5208);
  EXPECT_EQ(r["exported"], 0) << r;
  EXPECT_EQ(r["exportedName"], "backup.pfx");
  EXPECT_EQ(r["mobileCode"], 0);
  EXPECT_GT(r["mobile"].get<int>(), 1152 * 4 / 3);
  EXPECT_TRUE(host.dialogs().empty());
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(vtest::runCommand({"openssl", "pkcs12", "-in", dir + "/user.pfx", "-nokeys", "-passin", "pass:pw2"}).status, 0);
  EXPECT_EQ(vtest::runCommand({"openssl", "pkcs12", "-in", dir + "/out/backup.pfx", "-nodes", "-passin", "pass:pw4"})
                .status,
            0);
}

}  // namespace
