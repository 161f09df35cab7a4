// A small test CA made with the openssl command: a root, an intermediate,
// and leaf certificates issued for requests; PKCS #7 bundles of them.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace vtest {

class TestPki {
 public:
  TestPki() : dir_(makeTempDir("pki")) {
    writeFile(dir_ + "/ext.cnf",
              "[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"
              "[leaf]\nbasicConstraints=CA:false\nkeyUsage=critical,digitalSignature,nonRepudiation\n");
    ok_ = run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_ + "/root.key", "-out",
               dir_ + "/root.pem", "-days", "3650", "-subj", "/CN=Velmora Test Root/O=Velmora", "-addext",
               "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign"}) &&
          run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", dir_ + "/inter.key", "-out",
               dir_ + "/inter.csr", "-subj", "/CN=Velmora Test Intermediate/O=Velmora"}) &&
          run({"openssl", "x509", "-req", "-in", dir_ + "/inter.csr", "-CA", dir_ + "/root.pem", "-CAkey",
               dir_ + "/root.key", "-set_serial", "0x1001", "-days", "1000", "-extfile", dir_ + "/ext.cnf",
               "-extensions", "ca", "-out", dir_ + "/inter.pem"});
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }

  // Issues a certificate for a PEM or DER request; the PEM file's path.
  std::string issue(const std::string& request, const std::string& name, const std::string& serial = "0x00C311") {
    const bool pem = request.find("-----BEGIN") != std::string::npos;
    writeFile(dir_ + "/" + name + ".csr", request);
    if (!run({"openssl", "x509", "-req", "-inform", pem ? "PEM" : "DER", "-in", dir_ + "/" + name + ".csr", "-CA",
              dir_ + "/inter.pem", "-CAkey", dir_ + "/inter.key", "-set_serial", serial, "-days", "365",
              "-extfile", dir_ + "/ext.cnf", "-extensions", "leaf", "-out", dir_ + "/" + name + ".pem"}))
      return "";
    return dir_ + "/" + name + ".pem";
  }

  // DER of a PEM certificate file.
  std::string der(const std::string& pemFile) {
    if (!run({"openssl", "x509", "-in", pemFile, "-outform", "DER", "-out", pemFile + ".der"})) return "";
    return readFile(pemFile + ".der");
  }

  // A certificates-only PKCS #7 (DER) of PEM certificate files.
  std::string bundle(const std::vector<std::string>& pemFiles) {
    std::vector<std::string> argv = {"openssl", "crl2pkcs7", "-nocrl", "-outform", "DER", "-out", dir_ + "/b.p7b"};
    for (const auto& f : pemFiles) argv.insert(argv.end(), {"-certfile", f});
    if (!run(argv)) return "";
    return readFile(dir_ + "/b.p7b");
  }

  std::string root() const { return dir_ + "/root.pem"; }
  std::string intermediate() const { return dir_ + "/inter.pem"; }

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

}  // namespace vtest
