// velmora-store import-pfx: a PFX file made by openssl goes into the
// user's stores as the security component would use it.
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

TEST(VelmoraStore, ImportsAPfxFileWithItsKeyAndChain) {
  const std::string d = vtest::makeTempDir("pfx");
  // Root, issuing CA and a user certificate, all made by openssl.
  ASSERT_EQ(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Pfx Test Root", "-days", "30",
                     "-keyout", d + "/root.key", "-out", d + "/root.crt", "-addext",
                     "keyUsage=critical,keyCertSign,cRLSign"}).status, 0);
  vtest::writeFile(d + "/ca.cnf", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
  vtest::writeFile(d + "/user.cnf", "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n");
  ASSERT_EQ(openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Pfx Test CA", "-keyout",
                     d + "/ca.key", "-out", d + "/ca.csr"}).status, 0);
  ASSERT_EQ(openssl({"x509", "-req", "-in", d + "/ca.csr", "-CA", d + "/root.crt", "-CAkey", d + "/root.key",
                     "-CAcreateserial", "-days", "30", "-extfile", d + "/ca.cnf", "-out", d + "/ca.crt"}).status, 0);
  ASSERT_EQ(openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Pfx Test User", "-keyout",
                     d + "/user.key", "-out", d + "/user.csr"}).status, 0);
  ASSERT_EQ(openssl({"x509", "-req", "-in", d + "/user.csr", "-CA", d + "/ca.crt", "-CAkey", d + "/ca.key",
                     "-CAcreateserial", "-days", "30", "-extfile", d + "/user.cnf", "-out", d + "/user.crt"}).status, 0);
  vtest::writeFile(d + "/chain.pem", vtest::readFile(d + "/ca.crt") + vtest::readFile(d + "/root.crt"));
  ASSERT_EQ(openssl({"pkcs12", "-export", "-inkey", d + "/user.key", "-in", d + "/user.crt", "-certfile",
                     d + "/chain.pem", "-passout", "pass:s3cret", "-out", d + "/user.pfx"}).status, 0);

  // Failures first: they add nothing.
  auto wrong = vtest::runCommand({kStore, "import-pfx", d + "/user.pfx"}, {}, "not it\n");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
  auto notPfx = vtest::runCommand({kStore, "import-pfx", d + "/user.crt"}, {}, "s3cret\n");
  EXPECT_EQ(notPfx.status, 1);
  EXPECT_NE(notPfx.err.find("not a PFX file"), std::string::npos) << notPfx.err;
  EXPECT_EQ(vtest::runCommand({kStore, "import-pfx"}).status, 2);
  EXPECT_EQ(vtest::runCommand({kStore, "list", "MY"}).out.find("Pfx Test"), std::string::npos);

  auto imported = vtest::runCommand({kStore, "import-pfx", d + "/user.pfx"}, {}, "s3cret\n");
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_TRUE(std::regex_search(imported.out, std::regex("added [0-9A-F]{40} to MY with its key"))) << imported.out;
  EXPECT_TRUE(std::regex_search(imported.out, std::regex("added [0-9A-F]{40} to CA\n"))) << imported.out;
  EXPECT_TRUE(std::regex_search(imported.out, std::regex("skipped [0-9A-F]{40} \\(a root"))) << imported.out;

  const std::string my = vtest::runCommand({kStore, "list", "MY"}).out;
  EXPECT_NE(my.find("Pfx Test User"), std::string::npos) << my;
  std::smatch container;
  ASSERT_TRUE(std::regex_search(my, container, std::regex("container ([0-9A-Fa-f{}-]+), provider"))) << my;
  EXPECT_NE(vtest::runCommand({kStore, "keys"}).out.find(container[1].str()), std::string::npos);
  EXPECT_NE(vtest::runCommand({kStore, "list", "CA"}).out.find("Pfx Test CA"), std::string::npos);
  EXPECT_EQ(vtest::runCommand({kStore, "list", "ROOT"}).out.find("Pfx Test Root"), std::string::npos);
}

}  // namespace
