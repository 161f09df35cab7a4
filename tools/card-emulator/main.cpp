// velmora-card-emulator: a TaiMAC10 card behind the vsmartcard virtual
// reader (vpcd). It connects to the reader's port, answers the reader's
// control messages and the card commands, and keeps the card's files in a
// JSON state file that it rewrites after every change, so a test can read
// what was written.
//
//   velmora-card-emulator --port N --state FILE [--host 127.0.0.1]
//
// State file keys (all optional; hex strings for bytes):
//   "atr": "t0" | "t1" | hex          answer-to-reset (default "t0")
//   "aids": [hex, ...]                 applications that SELECT accepts
//   "files": {"00C7": {"1": hex}}      EFs and their records
//   "binary": {"A001": hex}            EF contents moved by the move command
//   "pins": {"00C7": {"tries": 3, "max": 3}}  retry counters of PIN files
//   "keys": {"08": {"key": hex16, "tries": 3, "max": 3}}  external-auth keys
//   "chipId": hex8                     chip identifier of GET DATA 9F7F
//   "challenge": hex8                  a fixed answer to GET CHALLENGE
//   "chaining": "none" | "61" | "6C"   how data is handed out
//   "overrides": [{"prefix": hex, "sw": "6620" | "pull", "times": n}]
//       the first command whose bytes begin with prefix gets sw ("pull":
//       the card is pulled, the connection closes without an answer)
//   "log": [hex, ...]                  every command received (appended)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using json = nlohmann::json;
using Bytes = std::vector<unsigned char>;

namespace {

const char kT0Atr[] = "3B6B00008065B08301017483009000";
// T=1 only (TD1 = 01), one historical byte, with TCK.
const char kT1Atr[] = "3B810141C1";

std::string hex(const Bytes& b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

Bytes unhex(const std::string& s) {
  Bytes b;
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    int h = nib(s[i]), l = nib(s[i + 1]);
    if (h < 0 || l < 0) break;
    b.push_back((unsigned char)(h * 16 + l));
  }
  return b;
}

class Card {
 public:
  explicit Card(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_);
    if (in) state_ = json::parse(in, nullptr, false);
    if (!state_.is_object()) state_ = json::object();
    if (!state_.contains("aids"))
      state_["aids"] = {"A000000172950101", "A000000172950102", "A000000172950103", "A000000172950105",
                        "A000000172950001", "A000000018434D", "A0000000030000"};
    // AIDs may be written with spaces.
    for (auto& a : state_["aids"]) {
      std::string s = a.get<std::string>();
      s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
      a = s;
    }
  }

  Bytes atr() const {
    std::string a = state_.value("atr", "t0");
    if (a == "t0") return unhex(kT0Atr);
    if (a == "t1") return unhex(kT1Atr);
    return unhex(a);
  }

  void reset() {
    app_.clear();
    file_.clear();
    challenge_.clear();
    pending_.clear();
  }

  // The answer, or nullopt when the card is pulled.
  std::optional<Bytes> process(const Bytes& apdu) {
    state_["log"].push_back(hex(apdu));
    std::optional<Bytes> r = overridden(apdu);
    if (!r) r = dispatch(apdu);
    save();
    return r;
  }

 private:
  static Bytes sw(unsigned v) { return {(unsigned char)(v >> 8), (unsigned char)v}; }

  std::optional<Bytes> overridden(const Bytes& apdu) {
    if (!state_.contains("overrides")) return std::nullopt;
    std::string cmd = hex(apdu);
    for (auto& o : state_["overrides"]) {
      std::string prefix = o.value("prefix", "");
      int times = o.value("times", -1);
      if (times == 0 || cmd.rfind(prefix, 0) != 0) continue;
      if (times > 0) o["times"] = times - 1;
      std::string s = o.value("sw", "6F00");
      if (s == "pull") {
        save();
        pulled_ = true;
        return Bytes{};
      }
      return unhex(s);
    }
    return std::nullopt;
  }

 public:
  bool pulled() const { return pulled_; }

 private:
  // Data for a command that returns some: directly, or as the chaining mode says.
  Bytes data(const Bytes& apdu, Bytes out, size_t le) {
    std::string mode = state_.value("chaining", "none");
    size_t want = le == 0 ? 256 : le;
    if (mode == "61") {
      pending_ = out;
      return sw(0x6100 | (out.size() & 0xFF));
    }
    if (mode == "6C" && want != out.size()) return sw(0x6C00 | (out.size() & 0xFF));
    if (out.size() > want) out.resize(want);
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
  }

  json& pinState(const std::string& fid) {
    json& p = state_["pins"][fid];
    if (!p.contains("max")) p["max"] = 3;
    if (!p.contains("tries")) p["tries"] = p["max"];
    return p;
  }

  std::string pinFileOf(unsigned char p2) {
    if (p2 == 0x28) return "00C7";
    if (p2 == 0x38) return "00C9";
    if (p2 == 0x10) return "00C2";
    return "";
  }

  Bytes dispatch(const Bytes& a) {
    if (a.size() < 4) return sw(0x6700);
    unsigned char cla = a[0], ins = a[1], p1 = a[2], p2 = a[3];
    size_t lc = 0, le = 0;
    Bytes body;
    bool hasLe = false;
    if (a.size() == 5) {
      le = a[4];
      hasLe = true;
    } else if (a.size() > 5) {
      lc = a[4];
      if (a.size() < 5 + lc) return sw(0x6700);
      body.assign(a.begin() + 5, a.begin() + 5 + lc);
      if (a.size() == 6 + lc) {
        le = a[5 + lc];
        hasLe = true;
      } else if (a.size() != 5 + lc) {
        return sw(0x6700);
      }
    }
    (void)hasLe;
    if (cla == 0x80 && ins == 0xCA) return getData(p1, p2, le);
    if (cla != 0x00) return sw(0x6E00);
    switch (ins) {
      case 0xA4: return select(p1, p2, body);
      case 0x20: return verify(p1, p2, body);
      case 0xD2: return writeRecord(p1, p2, body);
      case 0xB2: return readRecord(a, p1, p2, le);
      case 0x2C: return resetRetry(p1, p2, body);
      case 0x86: {
        challenge_.assign(8, 0);
        if (state_.contains("challenge")) challenge_ = unhex(state_["challenge"].get<std::string>());
        else RAND_bytes(challenge_.data(), 8);
        return data(a, challenge_, le);
      }
      case 0x82: return externalAuth(p2, body);
      case 0x72: return moveCert(p1, p2, body);
      case 0xC0: {
        if (pending_.empty()) return sw(0x6985);
        Bytes out = pending_;
        pending_.clear();
        size_t want = le == 0 ? 256 : le;
        if (out.size() > want) out.resize(want);
        out.push_back(0x90);
        out.push_back(0x00);
        return out;
      }
      default: return sw(0x6D00);
    }
  }

  Bytes select(unsigned char p1, unsigned char p2, const Bytes& body) {
    if (p1 == 0x04) {
      std::string aid = hex(body);
      for (auto& a : state_["aids"])
        if (a.get<std::string>() == aid) {
          app_ = aid;
          file_.clear();
          return sw(0x9000);
        }
      return sw(0x6A82);
    }
    if (p1 == 0x02 && body.size() == 2) {
      if (app_.empty()) return sw(0x6985);
      std::string fid = hex(body);
      if (!state_["files"].contains(fid) && !state_["binary"].contains(fid)) return sw(0x6A82);
      file_ = fid;
      return sw(0x9000);
    }
    return sw(0x6A86);
  }

  Bytes verify(unsigned char p1, unsigned char p2, const Bytes& body) {
    std::string fid = pinFileOf(p2);
    if (p1 != 0x01 || fid.empty()) return sw(0x6A86);
    if (app_.empty()) return sw(0x6985);
    if (body.size() != 16) return sw(0x6700);
    json& p = pinState(fid);
    int tries = p["tries"];
    if (tries <= 0) return sw(0x6983);
    Bytes stored = unhex(state_["files"][fid].value("1", ""));
    if (stored == body) {
      p["tries"] = p["max"];
      return sw(0x9000);
    }
    p["tries"] = tries - 1;
    return tries - 1 == 0 ? sw(0x6983) : sw(0x63C0 | unsigned(tries - 1));
  }

  Bytes writeRecord(unsigned char rec, unsigned char p2, const Bytes& body) {
    if (p2 != 0x04 || rec == 0) return sw(0x6A86);
    if (file_.empty() || !state_["files"].contains(file_)) return sw(0x6986);
    state_["files"][file_][std::to_string(rec)] = hex(body);
    return sw(0x9000);
  }

  Bytes readRecord(const Bytes& a, unsigned char rec, unsigned char p2, size_t le) {
    if (p2 != 0x04 || rec == 0) return sw(0x6A86);
    if (file_.empty() || !state_["files"].contains(file_)) return sw(0x6986);
    const json& f = state_["files"][file_];
    std::string key = std::to_string(rec);
    if (!f.contains(key)) return sw(0x6A83);
    return data(a, unhex(f[key].get<std::string>()), le);
  }

  Bytes resetRetry(unsigned char p1, unsigned char p2, const Bytes& body) {
    if (p1 != 0x00 || p2 != 0x00 || body.size() != 2) return sw(0x6A86);
    if (app_.empty()) return sw(0x6985);
    std::string id = hex(body);
    if (state_["pins"].contains(id) || state_["files"].contains(id)) {
      json& p = pinState(id);
      p["tries"] = p["max"];
      return sw(0x9000);
    }
    // Keys are named by their last byte (C0, C3).
    std::string keyName = id.substr(2);
    for (auto& [ref, k] : state_["keys"].items())
      if (k.value("name", "") == keyName) {
        k["tries"] = k.value("max", 3);
        return sw(0x9000);
      }
    return sw(0x6A88);
  }

  Bytes externalAuth(unsigned char ref, const Bytes& body) {
    if (app_.empty()) return sw(0x6985);
    if (body.size() != 8) return sw(0x6700);
    char refText[3];
    std::snprintf(refText, sizeof refText, "%02X", ref);
    if (!state_["keys"].contains(refText)) return sw(0x6A88);
    json& k = state_["keys"][refText];
    int tries = k.value("tries", 3);
    if (tries <= 0) return sw(0x6983);
    if (challenge_.size() != 8) return sw(0x6985);
    Bytes key = unhex(k.value("key", ""));
    Bytes expected(8 + 8);
    int n = 0;
    bool ok = false;
    if (key.size() == 16) {
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      ok = EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
           EVP_EncryptUpdate(ctx, expected.data(), &n, challenge_.data(), 8) == 1 && n == 8;
      EVP_CIPHER_CTX_free(ctx);
    }
    challenge_.clear();
    if (ok && std::equal(body.begin(), body.end(), expected.begin())) {
      k["tries"] = k.value("max", 3);
      return sw(0x9000);
    }
    k["tries"] = tries - 1;
    return tries - 1 == 0 ? sw(0x6983) : sw(0x63C0 | unsigned(tries - 1));
  }

  Bytes moveCert(unsigned char s1, unsigned char s2, const Bytes& body) {
    if (app_.empty()) return sw(0x6985);
    if (body.size() != 2) return sw(0x6700);
    std::string src = hex({s1, s2}), dst = hex(body);
    if (!state_["binary"].contains(src)) return sw(0x6A82);
    state_["binary"][dst] = state_["binary"][src];
    state_["binary"].erase(src);
    return sw(0x9000);
  }

  Bytes getData(unsigned char p1, unsigned char p2, size_t le) {
    if (p1 != 0x9F || p2 != 0x7F) return sw(0x6A88);
    if (app_ != "A000000018434D" && app_ != "A0000000030000")
      return sw(0x6985);
    Bytes cplc(45, 0);
    cplc[0] = 0x9F;
    cplc[1] = 0x7F;
    cplc[2] = 0x2A;
    Bytes id = unhex(state_.value("chipId", "0102030405060708"));
    for (size_t i = 0; i < 8 && i < id.size(); ++i) cplc[13 + i] = id[i];
    return data({}, cplc, le);
  }

  void save() {
    std::string tmp = path_ + ".tmp";
    {
      std::ofstream out(tmp, std::ios::trunc);
      out << state_.dump(1);
    }
    std::rename(tmp.c_str(), path_.c_str());
  }

  std::string path_;
  json state_;
  std::string app_, file_;
  Bytes challenge_, pending_;
  bool pulled_ = false;
};

bool readAll(int fd, unsigned char* p, size_t n) {
  while (n) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool writeMessage(int fd, const Bytes& b) {
  Bytes msg = {(unsigned char)(b.size() >> 8), (unsigned char)b.size()};
  msg.insert(msg.end(), b.begin(), b.end());
  return write(fd, msg.data(), msg.size()) == ssize_t(msg.size());
}

void quickAck(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", statePath;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--port") port = std::atoi(argv[i + 1]);
    else if (k == "--state") statePath = argv[i + 1];
    else if (k == "--host") host = argv[i + 1];
  }
  if (port <= 0 || port > 65535 || statePath.empty()) {
    std::fprintf(stderr, "usage: velmora-card-emulator --port N --state FILE [--host ADDR]\n");
    return 2;
  }
  Card card(statePath);
  // The reader may still be starting: try for ten seconds, then give up.
  int fd = -1;
  for (int attempt = 0; attempt < 200 && fd < 0; ++attempt) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      fd = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (fd < 0) {
    std::fprintf(stderr, "velmora-card-emulator: no reader on port %d\n", port);
    return 1;
  }
  quickAck(fd);
  for (;;) {
    unsigned char len[2];
    if (!readAll(fd, len, 2)) break;
    size_t n = size_t(len[0]) << 8 | len[1];
    Bytes msg(n);
    if (n && !readAll(fd, msg.data(), n)) break;
    quickAck(fd);
    if (n == 1) {
      switch (msg[0]) {
        case 0x00:  // power off
        case 0x01:  // power on
        case 0x02:  // reset
          card.reset();
          break;
        case 0x04:
          if (!writeMessage(fd, card.atr())) return 0;
          break;
        default: break;
      }
      continue;
    }
    auto answer = card.process(msg);
    if (card.pulled()) break;
    if (!answer || !writeMessage(fd, *answer)) break;
  }
  close(fd);
  return 0;
}
