// velmora-store export-pfx: a certificate of MY with its key goes into a
// new private PFX file that openssl opens; a key that may not leave stays.
#include <sys/stat.h>

#include <regex>
#include <string>

#include "test_support.h"

namespace {

const std::string kStore = std::string(VELMORA_BIN_DIR) + "/velmora-store";

vtest::CommandResult openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv);
}

// Imports a fresh self-signed certificate with its key; its thumbprint.
std::string imported(const std::string& d, const std::string& cn, bool exportable) {
  if (openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + cn, "-days", "30", "-keyout",
               d + "/" + cn + ".key", "-out", d + "/" + cn + ".crt"}).status != 0 ||
      openssl({"pkcs12", "-export", "-inkey", d + "/" + cn + ".key", "-in", d + "/" + cn + ".crt", "-passout",
               "pass:in", "-out", d + "/" + cn + ".pfx"}).status != 0)
    return "";
  std::vector<std::string> argv = {kStore, "import-pfx", d + "/" + cn + ".pfx"};
  if (exportable) argv.push_back("--exportable");
  auto r = vtest::runCommand(argv, {}, "in\n");
  std::smatch m;
  if (r.status != 0 || !std::regex_search(r.out, m, std::regex("added ([0-9A-F]{40}) to MY"))) return "";
  return m[1].str();
}

TEST(VelmoraStore, ExportsACertificateWithItsKeyIntoAPrivatePfx) {
  VTEST_REQUIRE(openssl({"version"}).status == 0, "openssl command");
  const std::string d = vtest::makeTempDir("pfxout");
  const std::string sha1 = imported(d, "Store Export", true);
  ASSERT_FALSE(sha1.empty());
  auto r = vtest::runCommand({kStore, "export-pfx", sha1, d + "/out.pfx"}, {}, "newpw\n");
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st{};
  ASSERT_EQ(stat((d + "/out.pfx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto dump = openssl({"pkcs12", "-in", d + "/out.pfx", "-nodes", "-passin", "pass:newpw", "-out", d + "/out.pem"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const std::string keyPub = openssl({"pkey", "-in", d + "/out.pem", "-pubout"}).out;
  EXPECT_FALSE(keyPub.empty());
  EXPECT_EQ(keyPub, openssl({"x509", "-in", d + "/Store Export.crt", "-pubkey", "-noout"}).out);

  const std::string locked = imported(d, "Store Locked", false);
  ASSERT_FALSE(locked.empty());
  auto refused = vtest::runCommand({kStore, "export-pfx", locked, d + "/locked.pfx"}, {}, "newpw\n");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("may not be exported"), std::string::npos) << refused.err;
  EXPECT_NE(stat((d + "/locked.pfx").c_str(), &st), 0);
  EXPECT_EQ(vtest::runCommand({kStore, "export-pfx", std::string(40, '0'), d + "/none.pfx"}, {}, "x\n").status, 1);
  EXPECT_EQ(vtest::runCommand({kStore, "export-pfx", sha1}).status, 2);
}

}  // namespace
