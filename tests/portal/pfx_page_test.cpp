// The PFX page: served at /pfx, linked from the home page, and every CAPI
// method its script calls is one the bridge library's CAPI offers.
#include <regex>
#include <set>
#include <string>

#include "pages.h"
#include "pages_pfx.h"
#include "portal.h"
#include "test_support.h"

namespace {

TEST(PfxPage, ServedLinkedAndCallsOnlyWhatTheLibraryOffers) {
  velmora::demo::PortalConfig config;
  velmora::http::Request req;
  req.method = "GET";
  req.path = "/pfx";
  const auto res = velmora::demo::handleRequest(config, req);
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.body, velmora::demo::kPfxPage);
  EXPECT_NE(std::string(velmora::demo::kHomePage).find("href=\"/pfx\""), std::string::npos);

  const std::string library = vtest::readFile(std::string(VELMORA_SOURCE_DIR) + "/host/resources/velmora-bridge.js");
  ASSERT_FALSE(library.empty());
  const std::string page = velmora::demo::kPfxPage;
  std::set<std::string> called;
  const std::regex call("capi\\.([A-Za-z0-9_]+)\\(");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), call); it != std::sregex_iterator(); ++it)
    called.insert((*it)[1].str());
  for (const char* expected : {"ImportPfxToIE", "QueryPfxInfo", "ChangePfxPasswd", "ExportPfxFromIE",
                               "ExportMobileFromIE", "GetImportedPfxFileName", "GetExportedPfxFileName"})
    EXPECT_EQ(called.count(expected), 1u) << expected;
  for (const auto& name : called)
    EXPECT_NE(library.find(name), std::string::npos) << name << " is not in the bridge library";
}

}  // namespace
