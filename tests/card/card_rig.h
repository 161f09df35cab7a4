// A private pcscd with the virtual reader driver (vsmartcard-vpcd) and the
// card emulator behind it. pcscd runs in its own mount namespace, where a
// folder of the test profile stands in for /run/pcscd, and the clients
// reach it through PCSCLITE_CSOCK_NAME; the reader listens on a free port.
// Both processes die with the test process; one pcscd serves all tests of
// a process (a test that needs another daemon runs in a child of its own).
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace ctest_card {

using nlohmann::json;

inline constexpr const char* kReader = "Velmora Test Reader 00 00";

class CardRig {
 public:
  // False (with `why`) when pcscd, the vpcd driver or the emulator is missing.
  static bool available(std::string& why);

  CardRig();
  ~CardRig();
  CardRig(const CardRig&) = delete;
  CardRig& operator=(const CardRig&) = delete;

  // Starts pcscd and waits until its readers are listed (with no reader at
  // all: until it answers).
  bool start(bool withReader = true);
  // Starts the emulator with this card state and waits until the card is
  // present in the first reader.
  bool insert(const json& state);
  // Ends the emulator (the card leaves the reader) and waits for pcscd to see it.
  void pull();
  // The emulator's state file as it is now.
  json state() const;
  // The commands the card received, as hex.
  std::vector<std::string> commands() const;

  // The environment of a client: the pcscd socket and the dialog files.
  std::vector<std::string> env() const;
  // Sets this process's environment the same way.
  void useHere() const;
  // Answers for the next dialogs, one JSON object each.
  void script(const std::vector<json>& answers) const;
  // The dialogs shown so far.
  std::vector<json> dialogs() const;

  std::string dir;

 private:
  bool waitForCard(bool present, int timeoutMs) const;
  std::string socketDir_;
  pid_t emulator_ = -1;
  int port_ = 0;
};

// The calls' results as the page sees them (one JSON value per call).
std::vector<json> callBridge(const CardRig& rig, const std::vector<std::string>& calls);

// Card state used by most tests: AN PIN "123456" (C7), card PIN "1234"
// (C2), the token's second PIN "654321" (C9, space padded), EF1001,
// EF8000 and key C0 (3DES key 00..0F).
json standardCard(const std::string& atr = "t0");

// 3DES-ECB of the challenge under the key, by the openssl command.
std::string cryptogram(const std::string& keyHex, const std::vector<unsigned char>& challenge);

}  // namespace ctest_card
