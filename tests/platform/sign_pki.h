// Keys and certificates for the signing tests, made with the openssl
// command: a root, an intermediate, an RSA and an EC leaf with their keys,
// and PFX files of them.
#pragma once

#include <wincrypt.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vtest {

class SignPki {
 public:
  SignPki() : dir_(makeTempDir("signpki")) {
    writeFile(dir_ + "/ext.cnf",
              "[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"
              "[leaf]\nbasicConstraints=CA:false\nkeyUsage=critical,digitalSignature,nonRepudiation\n"
              "[enc]\nbasicConstraints=CA:false\nkeyUsage=critical,keyEncipherment\n");
    ok_ = run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("root.key"), "-out",
               path("root.pem"), "-days", "3650", "-subj", "/CN=Sign Test Root", "-addext",
               "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}) &&
          run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", path("inter.key"), "-out",
               path("inter.csr"), "-subj", "/CN=Sign Test Intermediate"}) &&
          run({"openssl", "x509", "-req", "-in", path("inter.csr"), "-CA", path("root.pem"), "-CAkey",
               path("root.key"), "-set_serial", "0x2001", "-days", "1000", "-extfile", path("ext.cnf"),
               "-extensions", "ca", "-out", path("inter.pem")}) &&
          leaf("rsa", {"-newkey", "rsa:2048"}) && leaf("ec", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"}, "leaf", "365", "0x00EC0001");
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // A leaf key and certificate issued by the intermediate: <name>.key, <name>.pem.
  bool leaf(const std::string& name, std::vector<std::string> keyArgs, const std::string& extensions = "leaf",
            const std::string& days = "365", const std::string& serial = "0x00C0FFEE") {
    std::vector<std::string> req = {"openssl", "req", "-nodes", "-keyout", path(name + ".key"), "-out",
                                    path(name + ".csr"), "-subj", "/CN=Signer " + name + "/O=Velmora"};
    req.insert(req.begin() + 2, keyArgs.begin(), keyArgs.end());
    return run(req) && run({"openssl", "x509", "-req", "-in", path(name + ".csr"), "-CA", path("inter.pem"), "-CAkey",
                            path("inter.key"), "-set_serial", serial, "-days", days, "-extfile", path("ext.cnf"),
                            "-extensions", extensions, "-out", path(name + ".pem")});
  }

  // A PFX of <name>.key and <name>.pem, with `extra` arguments.
  std::string pfx(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"openssl", "pkcs12", "-export", "-inkey", path(name + ".key"), "-in",
                                     path(name + ".pem"), "-out", path(name + ".pfx")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!run(argv)) return "";
    return readFile(path(name + ".pfx"));
  }

  std::string der(const std::string& pem) {
    if (!run({"openssl", "x509", "-in", path(pem), "-outform", "DER", "-out", path(pem + ".der")})) return "";
    return readFile(path(pem + ".der"));
  }

  bool run(const std::vector<std::string>& argv) {
    auto r = runCommand(argv);
    if (r.status != 0) error_ += r.err;
    return r.status == 0;
  }

 private:
  std::string dir_;
  bool ok_ = false;
  std::string error_;
};

inline CRYPT_DATA_BLOB blobOf(std::string& bytes) {
  return CRYPT_DATA_BLOB{DWORD(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
}

}  // namespace vtest
