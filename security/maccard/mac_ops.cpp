// The TaiMAC10 card operations and the registry hand-over of MAC values.
#include <winreg.h>

#include <openssl/crypto.h>

#include <cstring>

#include "frame/engines.h"

namespace strabel {

namespace {

const char kHandOverKey[] = "SOFTWARE\\IISI\\TAIMAC10";
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const BYTE kReferenceAtr[] = {0x3B, 0x6B, 0x00, 0x00, 0x80, 0x65, 0xB0, 0x83,
                              0x01, 0x01, 0x74, 0x83, 0x00, 0x90, 0x00};

std::string base64(const BYTE* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = unsigned(p[i]) << 16;
    if (i + 1 < n) v |= unsigned(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[v & 63] : '=';
  }
  return out;
}

// CR and LF are dropped; the rest must come in groups of four. Characters
// outside the alphabet count as 0.
std::vector<BYTE> unbase64(const std::string& text) {
  std::string s;
  for (char c : text)
    if (c != '\r' && c != '\n') s += c;
  std::vector<BYTE> out;
  if (s.size() < 4 || s.size() % 4) return out;
  auto value = [](char c) -> unsigned {
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? unsigned(p - kAlphabet) : 0;
  };
  for (size_t i = 0; i < s.size(); i += 4) {
    unsigned v = value(s[i]) << 18 | value(s[i + 1]) << 12 | value(s[i + 2]) << 6 | value(s[i + 3]);
    out.push_back(BYTE(v >> 16));
    if (s[i + 2] != '=') out.push_back(BYTE(v >> 8));
    if (s[i + 3] != '=') out.push_back(BYTE(v));
  }
  return out;
}

int hexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool hexId(const std::string& text, BYTE id[2]) {
  for (int i = 0; i < 2; ++i) {
    int h = hexNibble(text[2 * i]), l = hexNibble(text[2 * i + 1]);
    if (h < 0 || l < 0) return false;
    id[i] = BYTE(h * 16 + l);
  }
  return true;
}

// A PIN as the card takes it: its characters, then FF up to 16 bytes.
// Wiped when it goes out of scope.
struct PinBlock {
  BYTE bytes[16];
  explicit PinBlock(const std::string& pin) {
    std::memset(bytes, 0xFF, sizeof bytes);
    std::memcpy(bytes, pin.data(), pin.size() < 16 ? pin.size() : 16);
  }
  ~PinBlock() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

bool pinLengthOk(const std::string& pin) { return pin.size() >= 6 && pin.size() <= 16; }

WResult text(const std::string& s) { return wideFromAnsi(s); }

}  // namespace

#define GUARD(value)                       \
  do {                                     \
    if (m_bIEProtectedMode) return value;  \
  } while (0)

int CTaiMAC10Core::ConnectCard() {
  GUARD(kProtectedMode);
  int rv = Connect();
  if (rv == 0 || rv == kMacCancelled) return rv;
  return kMacConnectFailed;
}

int CTaiMAC10Core::DisConnectCard() {
  GUARD(kProtectedMode);
  return Disconnect();
}

int CTaiMAC10Core::GetCardStatus() {
  GUARD(kProtectedMode);
  char name[200];
  BYTE atr[32];
  DWORD nameLength = sizeof name, atrLength = sizeof atr, state = 0, protocol = 0;
  return SCardStatusA(m_hCard, name, &nameLength, &state, &protocol, atr, &atrLength) == SCARD_S_SUCCESS
             ? 0
             : kMacStatusFailed;
}

int CTaiMAC10Core::Check() {
  GUARD(kProtectedMode);
  int rv = Connect();
  Disconnect();
  return rv;
}

int CTaiMAC10Core::WriteCertMAC(const std::string& base64Mac) {
  GUARD(kProtectedMode);
  if (base64Mac.size() != 12) return kMacCertMacLength;
  std::vector<BYTE> mac = unbase64(base64Mac);
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kHandOverKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, &disposition) != ERROR_SUCCESS)
    return kMacCertMacKey;
  LONG rv = RegSetValueExA(key, "CertMac", 0, REG_BINARY, mac.data(), DWORD(mac.size()));
  RegCloseKey(key);
  return rv == ERROR_SUCCESS ? 0 : kMacCertMacValue;
}

WResult CTaiMAC10Core::ReadPKMAC() {
  GUARD(text(""));
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kHandOverKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return text("");
  BYTE value[12] = {};
  DWORD type = 0, size = sizeof value;
  if (RegQueryValueExA(key, "PKMac", nullptr, &type, value, &size) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return text("");
  }
  std::string result = base64(value, size < 8 ? size : 8);
  RegDeleteValueA(key, "PKMac");
  RegCloseKey(key);
  OPENSSL_cleanse(value, sizeof value);
  return text(result);
}

WResult CTaiMAC10Core::ReadBinary() {
  GUARD(text(""));
  if (!m_bConnected && Connect() != 0) return text("");
  const bool reference = m_cbAtr > 0 && m_cbAtr <= sizeof kReferenceAtr && std::memcmp(m_atr, kReferenceAtr, m_cbAtr) == 0;
  static const BYTE kChipAid[7] = {0xA0, 0x00, 0x00, 0x00, 0x18, 0x43, 0x4D};
  static const BYTE kOtherAid[7] = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
  BYTE response[256] = {};
  BYTE le = 0;
  int rv = TransmitApdu(0x00, 0xA4, 0x04, 0x00, 7, le, reference ? kChipAid : kOtherAid, response, sizeof response);
  if (rv == 0) {
    le = 0x2D;
    std::memset(response, 0, sizeof response);
    rv = TransmitApdu(0x80, 0xCA, 0x9F, 0x7F, 0, le, nullptr, response, sizeof response);
    // The identifier lies at 13 to 20: a shorter answer has none.
    if (rv == 0 && le < 21) rv = kMacBadLength;
  }
  if (rv != 0) {
    Disconnect();
    return text("");
  }
  return text(base64(response + 13, 8));
}

WResult CTaiMAC10Core::GenRandom() {
  GUARD(text(""));
  if (!m_bConnected) return text("");
  BYTE response[256] = {};
  BYTE le = 8;
  if (TransmitApdu(0x00, 0x86, 0x00, 0x00, 0, le, nullptr, response, sizeof response) != 0 || le < 8) return text("");
  return text(base64(response, 8));
}

int CTaiMAC10Core::MoveCert(const std::string& srcEfId, const std::string& dstEfId) {
  GUARD(kProtectedMode);
  if (srcEfId.size() != 4 || dstEfId.size() != 4) return kMacEfIdLength;
  if (Connect() != 0) {
    Disconnect();
    return kMacNotConnected;
  }
  int rv = SelectApplication();
  BYTE src[2], dst[2];
  if (rv == 0 && !(hexId(srcEfId, src) && hexId(dstEfId, dst))) rv = kMacEfIdNotHex;
  if (rv == 0) {
    BYTE le = 0;
    BYTE response[256];
    rv = TransmitApdu(0x00, 0x72, src[0], src[1], 2, le, dst, response, sizeof response);
  }
  if (rv != 0) return Disconnect();
  return 0;
}

WResult CTaiMAC10Core::ReadEF1001(long recN) {
  GUARD(text(""));
  if (recN < 1 || recN > 7 || !m_bConnected) return text("");
  if (SelectFile(0x10, 0x01) != 0) return text("");
  BYTE response[256] = {};
  BYTE le = recN == 1 ? 0x0A : recN == 2 ? 0x20 : 0x12;
  if (TransmitApdu(0x00, 0xB2, BYTE(recN), 0x04, 0, le, nullptr, response, sizeof response) != 0) return text("");
  const size_t n = le;
  if (n < 2) return text("");
  std::string out;
  for (size_t i = 2; i <= n; ++i) out += response[i] ? char(response[i]) : ' ';
  return text(out);
}

int CTaiMAC10Core::WriteEF1001(long recN, const std::string& data) {
  GUARD(kProtectedMode);
  if (recN < 1 || recN > 10 || data.empty() || data.size() > 16 || (recN == 1 && data.size() > 8))
    return kMacBadLength;
  if (!m_bConnected) return kMacNotConnected;
  int rv = SelectFile(0x10, 0x01);
  if (rv != 0) return rv;
  BYTE le = 0;
  BYTE response[256] = {};
  if (recN == 2) {
    le = 0x20;
    rv = TransmitApdu(0x00, 0xB2, 0x02, 0x04, 0, le, nullptr, response, sizeof response);
    if (rv != 0) return rv;
    BYTE block[30] = {};
    std::memcpy(block, response + 2, 16);
    std::memcpy(block + 16, data.data(), data.size() < 14 ? data.size() : 14);
    le = 0;
    rv = TransmitApdu(0x00, 0xD2, 0x02, 0x04, 30, le, block, response, sizeof response);
    if (rv != 0) return rv;
    Disconnect();
    return 0;
  }
  BYTE block[16] = {};
  std::memcpy(block, data.data(), data.size());
  return TransmitApdu(0x00, 0xD2, BYTE(recN), 0x04, 16, le, block, response, sizeof response);
}

int CTaiMAC10Core::WriteEF8000(const std::string& cardHolderData) {
  GUARD(kProtectedMode);
  if (cardHolderData.empty() || cardHolderData.size() > 240) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnected;
  int rv = SelectFile(0x80, 0x00);
  if (rv != 0) return rv;
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0xD2, 0x01, 0x04, BYTE(cardHolderData.size()), le,
                      reinterpret_cast<const BYTE*>(cardHolderData.data()), response, sizeof response);
}

WResult CTaiMAC10Core::Read8000(long recN, const std::string& pin) {
  GUARD(text(""));
  if (recN != 1 || !pinLengthOk(pin) || !m_bConnected) return text("");
  BYTE response[256] = {};
  BYTE le = 0;
  if (SelectFile(0x00, 0xC7) != 0) return text("");
  {
    PinBlock block(pin);
    if (TransmitApdu(0x00, 0x20, 0x01, 0x28, 16, le, block.bytes, response, sizeof response) != 0) return text("");
  }
  if (SelectFile(0x80, 0x00) != 0) return text("");
  std::memset(response, 0, sizeof response);
  le = 0xF0;
  if (TransmitApdu(0x00, 0xB2, 0x01, 0x04, 0, le, nullptr, response, sizeof response) != 0) return text("");
  std::string out;
  for (size_t i = 2; i < le && response[i]; ++i) out += char(response[i]);
  return text(out);
}

int CTaiMAC10Core::verifyAnPinSteps(const std::string& pin) {
  int rv = SelectFile(0x00, 0xC7);
  if (rv == 0x6620) return kMacSelectPin6620;
  if (rv != 0) return rv;
  PinBlock block(pin);
  BYTE le = 0;
  BYTE response[256];
  rv = TransmitApdu(0x00, 0x20, 0x01, 0x28, 16, le, block.bytes, response, sizeof response);
  if (rv == 0x6608) return kMacPin6608;
  if (rv == 0x6620) return kMacPin6620;
  return rv;
}

int CTaiMAC10Core::VerifyANPin(const std::string& pin) {
  GUARD(kProtectedMode);
  if (!pinLengthOk(pin)) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnected;
  return verifyAnPinSteps(pin);
}

int CTaiMAC10Core::ChangeANPin(const std::string& oldPin, const std::string& newPin) {
  GUARD(kProtectedMode);
  if (!pinLengthOk(oldPin) || !pinLengthOk(newPin)) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnected;
  int rv = verifyAnPinSteps(oldPin);
  if (rv != 0) return rv;
  PinBlock block(newPin);
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0xD2, 0x01, 0x04, 16, le, block.bytes, response, sizeof response);
}

namespace {

int resetRetryCounter(CTaiMacReader& reader, BYTE hi, BYTE lo) {
  const BYTE id[2] = {hi, lo};
  BYTE le = 0;
  BYTE response[256];
  int rv = reader.TransmitApdu(0x00, 0x2C, 0x00, 0x00, 2, le, id, response, sizeof response);
  return rv == 0x6600 ? kMacUnlock6600 : rv;
}

}  // namespace

int CTaiMAC10Core::UnlockANPin() {
  GUARD(kProtectedMode);
  if (!m_bConnected) return kMacNotConnected;
  return resetRetryCounter(*this, 0x00, 0xC7);
}

int CTaiMAC10Core::ResetANPIN(const std::string& newPin) {
  GUARD(kProtectedMode);
  if (!m_bConnected) return kMacNotConnected;
  int rv = resetRetryCounter(*this, 0x00, 0xC7);
  if (rv != 0) return rv;
  if (!pinLengthOk(newPin)) return kMacBadLength;
  rv = SelectFile(0x00, 0xC7);
  if (rv != 0) return rv;
  PinBlock block(newPin);
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0xD2, 0x01, 0x04, 16, le, block.bytes, response, sizeof response);
}

int CTaiMAC10Core::VerrifyPIN(const std::string& pin) {
  GUARD(kProtectedMode);
  if (pin.size() != 4) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnected;
  int rv = SelectFile(0x00, 0xC2);
  if (rv != 0) return rv;
  PinBlock block(pin);
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0x20, 0x01, 0x10, 16, le, block.bytes, response, sizeof response);
}

int CTaiMAC10Core::ResetPIN(const std::string& newPin) {
  GUARD(kProtectedMode);
  if (!m_bConnected) return kMacNotConnected;
  // The PIN block holds 16 bytes: a longer (or empty) PIN is refused
  // instead of being cut short on the card.
  if (newPin.empty() || newPin.size() > 16) return kMacBadLength;
  int rv = SelectFile(0x00, 0xC2);
  if (rv != 0) return rv;
  PinBlock block(newPin);
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0xD2, 0x01, 0x04, 16, le, block.bytes, response, sizeof response);
}

int CTaiMAC10Core::TermAuth(const std::string& key, const std::string& b64Cryptogram) {
  GUARD(kProtectedMode);
  if (!m_bConnected) return kMacNotConnected;
  std::vector<BYTE> cryptogram = b64Cryptogram.size() == 12 ? unbase64(b64Cryptogram) : std::vector<BYTE>();
  if (cryptogram.size() != 8) return kMacBadLength;
  BYTE ref = 0;
  if (key == "C0") ref = 0x08;
  else if (key == "C3") ref = 0x18;
  else if (key == "C4") ref = 0x20;
  else return kMacUnknownKey;
  BYTE le = 0;
  BYTE response[256];
  int rv = TransmitApdu(0x00, 0x82, 0x00, ref, 8, le, cryptogram.data(), response, sizeof response);
  if (rv == 0x6600) return kMacAuth6600;
  if (rv == 0x6608) return kMacAuth6608;
  if (rv == 0x6620) return kMacAuth6620;
  return rv;
}

int CTaiMAC10Core::UnlockKey(const std::string& keyName) {
  GUARD(kProtectedMode);
  if (!m_bConnected) return kMacNotConnected;
  BYTE key = keyName == "C0" ? 0xC0 : keyName == "C3" ? 0xC3 : 0x00;
  return resetRetryCounter(*this, 0x00, key);
}

}  // namespace strabel
