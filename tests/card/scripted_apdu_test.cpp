// The card channels of both components against scripted exchanges: each
// step names the command the card must receive and the answer it gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/engines.h"
#include "maccard/mac_card_reader.h"

namespace {

struct Step {
  std::string command;  // hex, as sent
  std::string answer;   // hex, or "!XXXXXXXX" for a service error
};

std::vector<BYTE> unhex(const std::string& s) {
  std::vector<BYTE> b;
  for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(BYTE(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

std::string hex(const BYTE* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// Plays the steps in order; anything else is a test failure.
template <class Base>
class Scripted : public Base {
 public:
  Scripted(std::vector<Step> steps, bool t1) : steps_(std::move(steps)) {
    for (auto& st : steps_) st.command.erase(std::remove(st.command.begin(), st.command.end(), ' '), st.command.end());
    this->m_pioSendPci = t1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    this->m_bConnected = 1;
    this->m_dwDisconnectWaitMs = 0;
  }
  ~Scripted() override {
    EXPECT_EQ(next_, steps_.size()) << "not every scripted command was sent";
    this->m_bConnected = 0;
    this->m_pioSendPci = nullptr;
  }

 protected:
  LONG Exchange(const BYTE* command, DWORD length, BYTE* received, DWORD* receivedLength) override {
    std::string sent = hex(command, length);
    if (next_ >= steps_.size()) {
      ADD_FAILURE() << "unexpected command " << sent;
      return LONG(SCARD_E_NOT_TRANSACTED);
    }
    const Step& step = steps_[next_++];
    EXPECT_EQ(sent, step.command);
    if (!step.answer.empty() && step.answer[0] == '!') return LONG(std::stoul(step.answer.substr(1), nullptr, 16));
    auto answer = unhex(step.answer);
    EXPECT_LE(answer.size(), *receivedLength);
    std::copy(answer.begin(), answer.end(), received);
    *receivedLength = DWORD(answer.size());
    return SCARD_S_SUCCESS;
  }

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
};

using SecurityCard = Scripted<strabel::CTaiMAC10Core>;
using TokenCard = Scripted<quennet::CMacCardReader>;

struct TransmitCase {
  const char* what;
  bool t1;
  BYTE ins, lc, le;       // CLA 00, P1 P2 01 04; data 11 22 .. for lc bytes
  std::vector<Step> steps;
  int status;
  BYTE leAfter;
  std::string data;       // what reached the response area
  size_t room = 256;
};

TEST(ScriptedTransmit, SecurityChannelLeRulesAndFollowUps) {
  const TransmitCase cases[] = {
      {"T=0 read: Le sent", false, 0xB2, 0, 0x0A, {{"00B201040A", "414243449000"}}, 0, 4, "41424344"},
      {"T=1 read: Le sent", true, 0xB2, 0, 0x0A, {{"00B201040A", "41429000"}}, 0, 2, "4142"},
      {"T=0 with data: no Le", false, 0xD2, 2, 0, {{"00D201040211 22", "9000"}}, 0, 0, ""},
      {"T=1 with data: Le 00 appended", true, 0xD2, 2, 0, {{"00D20104021122 00", "9000"}}, 0, 0, ""},
      {"T=0 without data or Le: 4 bytes", false, 0x2C, 0, 0, {{"002C0104", "9000"}}, 0, 0, ""},
      {"61 1C with Le 0: GET RESPONSE 1C", false, 0xB2, 0, 0,
       {{"00B20104", "611C"}, {"00C000001C", "AABB9000"}}, 0, 2, "AABB"},
      {"61 1C with Le 20: GET RESPONSE 1C", false, 0xB2, 0, 0x20,
       {{"00B2010420", "611C"}, {"00C000001C", "AA9000"}}, 0, 1, "AA"},
      {"61 1C with Le 10: GET RESPONSE 10", false, 0xB2, 0, 0x10,
       {{"00B2010410", "611C"}, {"00C0000010", "AA9000"}}, 0, 1, "AA"},
      {"6C 0A with Le 20: sent again with 0A", false, 0xB2, 0, 0x20,
       {{"00B2010420", "6C0A"}, {"00B201040A", "01029000"}}, 0, 2, "0102"},
      {"6C 0A over T=1 with Le 0: sent again with 0A", true, 0xB2, 0, 0,
       {{"00B2010400", "6C0A"}, {"00B201040A", "019000"}}, 0, 1, "01"},
      {"refusal returned as it is", false, 0xB2, 0, 0x0A, {{"00B201040A", "6A82"}}, 0x6A82, 0x0A, ""},
      {"status after data", false, 0xB2, 0, 0x04, {{"00B2010404", "01026282"}}, 0x6282, 2, "0102"},
      {"service error", false, 0xB2, 0, 0x0A, {{"00B201040A", "!80100069"}}, int(0x80100069), 0x0A, ""},
      {"failed follow-up", false, 0xB2, 0, 0, {{"00B20104", "6110"}, {"00C0000010", "!80100069"}},
       int(0x80100069), 0, ""},
      {"no status word", false, 0xB2, 0, 0x0A, {{"00B201040A", "90"}}, int(SCARD_F_COMM_ERROR), 0x0A, ""},
      {"longer answer than the room", false, 0xB2, 0, 0x04, {{"00B2010404", "0102030405069000"}}, 0, 3, "010203", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SecurityCard card(c.steps, c.t1);
    const BYTE data[] = {0x11, 0x22, 0x33};
    BYTE le = c.le;
    BYTE response[260] = {};
    int status = card.TransmitApdu(0x00, c.ins, 0x01, 0x04, c.lc, le, data, response, c.room);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(le, c.leAfter);
    EXPECT_EQ(hex(response, c.data.size() / 2), c.data);
    EXPECT_EQ(response[c.room], 0) << "wrote past the response area";
  }
}

std::string narrowText(const strabel::WResult& r) { return r ? strabel::ansiFromWide(*r) : std::string("<null>"); }

TEST(ScriptedTransmit, SecurityOperations) {
  {
    SCOPED_TRACE("ReadEF1001(3): zero bytes become spaces, one more space at the end");
    SecurityCard card({{"00A40200021001", "9000"}, {"00B2030412", "1234414200439000"}}, false);
    EXPECT_EQ(narrowText(card.ReadEF1001(3)), "AB C ");
  }
  {
    SCOPED_TRACE("ReadEF1001 with no data in the answer");
    SecurityCard card({{"00A40200021001", "9000"}, {"00B201040A", "9000"}}, false);
    EXPECT_EQ(narrowText(card.ReadEF1001(1)), "");
  }
  {
    SCOPED_TRACE("VerifyANPin: the PIN block is FF padded");
    SecurityCard card({{"00A402000200C7", "9000"}, {"002001281031323334353637FFFFFFFFFFFFFFFFFF", "63C1"}}, false);
    EXPECT_EQ(card.VerifyANPin("1234567"), 0x63C1);
  }
  {
    SCOPED_TRACE("ResetANPIN resets the counter before it checks the new PIN");
    SecurityCard card({{"002C00000200C7 00", "9000"}}, true);  // T=1: Le 00 too
    EXPECT_EQ(card.ResetANPIN("123"), 4113);
  }
  {
    SCOPED_TRACE("WriteEF1001(2): the kept 16 bytes, then 14 characters");
    SecurityCard card({{"00A40200021001", "9000"},
                       {"00B2020420", "AABB000102030405060708090A0B0C0D0E0F58599000"},
                       {"00D202041E000102030405060708090A0B0C0D0E0F4142434445464748494A4B4C4D4E", "9000"}},
                      false);
    EXPECT_EQ(card.WriteEF1001(2, "ABCDEFGHIJKLMNOP"), 0);
    EXPECT_EQ(card.m_bConnected, 0);  // disconnected after the write
  }
  {
    SCOPED_TRACE("TermAuth C3 uses key reference 18; the card's 6620 maps to 4145");
    SecurityCard card({{"008200180801020304050607 08", "6620"}}, false);
    EXPECT_EQ(card.TermAuth("C3", "AQIDBAUGBwg="), 4145);
  }
  {
    SCOPED_TRACE("GenRandom with fewer than 8 bytes gives no text");
    SecurityCard card({{"0086000008", "01029000"}}, false);
    EXPECT_EQ(narrowText(card.GenRandom()), "");
  }
}

TEST(ScriptedTransmit, TokenOperations) {
  {
    SCOPED_TRACE("61 10 to a command without Le is followed by GET RESPONSE 10");
    TokenCard card({{"00A402000200C7", "6110"},
                    {"00C0000010", "9000"},
                    {"0020012810" "313233343536" "20202020202020202020", "9000"}},
                   false);
    EXPECT_EQ(card.MacVerifyC7Pin("123456"), 0);
  }
  {
    SCOPED_TRACE("61 10 to get random (Le 8) asks for the 8 bytes");
    TokenCard card({{"0086000008", "6110"}, {"00C0000008", "01020304050607089000"}}, false);
    EXPECT_EQ(card.MacGenRandom(), "AQIDBAUGBwg=");
  }
  {
    SCOPED_TRACE("T=1 get random ends with Le");
    TokenCard card({{"0086000008", "01020304050607089000"}}, true);
    EXPECT_EQ(card.MacGenRandom(), "AQIDBAUGBwg=");
  }
  {
    SCOPED_TRACE("MacReadEF1001(1): ABCDEFG and two spaces");
    TokenCard card({{"00A40200021001", "9000"}, {"00B201040A", "020841424344454647009000"}}, false);
    EXPECT_EQ(card.MacReadEF1001(1), "ABCDEFG  ");
  }
  {
    SCOPED_TRACE("select EF and verify never carry Le, also over T=1; PIN16 is space padded");
    TokenCard card({{"00A402000200C9", "9000"}, {"0020013810" "363534333231" "20202020202020202020", "6620"}}, true);
    EXPECT_EQ(card.MacVerifyC9Pin("654321"), 0x1021);
  }
  {
    SCOPED_TRACE("MacResetC7Pin with a 3-byte PIN: reset first, then 0x1011");
    TokenCard card({{"002C00000200C7", "9000"}}, false);
    EXPECT_EQ(card.MacResetC7Pin("abc"), 0x1011);
  }
  {
    SCOPED_TRACE("MacChangeC7Pin verifies without selecting, then selects and writes");
    TokenCard card({{"0020012810" "313233343536" "20202020202020202020", "9000"},
                    {"00A402000200C7", "9000"},
                    {"00D2010410" "373737373737" "20202020202020202020", "9000"}},
                   false);
    EXPECT_EQ(card.MacChangeC7Pin("123456", "777777"), 0);
  }
  {
    SCOPED_TRACE("6C with a requested Le: the smaller one");
    TokenCard card({{"00B2030412", "6C06"}, {"00B2030406", "1234414200439000"}}, false);
    BYTE le = 0x12, response[256] = {};
    EXPECT_EQ(card.Transmit(0xB2, 0x03, 0x04, nullptr, 0, quennet::CMacCardReader::LeForm::Always, true, le, response,
                            sizeof response),
              0);
    EXPECT_EQ(le, 6);
  }
  {
    SCOPED_TRACE("a removed card: the PC/SC code, still marked connected");
    TokenCard card({{"0086000008", "!80100069"}}, false);
    EXPECT_EQ(card.MacGenRandom(), "");
    EXPECT_EQ(card.m_bConnected, 1);
  }
}

}  // namespace
