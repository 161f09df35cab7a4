#include "maccard/mac_card_reader.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ui/dialogs.h"

namespace quennet {

namespace {

const BYTE kAids[5][8] = {
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x00, 0x01}, {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x01},
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x02}, {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x03},
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x05},
};
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// CR and LF are ignored; groups of four with "=" padding. False on a
// character outside the alphabet or misplaced padding.
bool unbase64(const char* text, std::vector<BYTE>& out) {
  std::string s;
  for (const char* p = text; *p; ++p)
    if (*p != '\r' && *p != '\n') s += *p;
  if (s.empty() || s.size() % 4) return false;
  for (size_t i = 0; i < s.size(); i += 4) {
    unsigned v = 0;
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      char c = s[i + j];
      unsigned d = 0;
      if (c == '=') {
        if (j < 2 || i + 4 != s.size()) return false;
        ++pad;
      } else {
        if (pad) return false;
        const char* at = std::strchr(kAlphabet, c);
        if (!at) return false;
        d = unsigned(at - kAlphabet);
      }
      v = v << 6 | d;
    }
    out.push_back(BYTE(v >> 16));
    if (pad < 2) out.push_back(BYTE(v >> 8));
    if (pad < 1) out.push_back(BYTE(v));
  }
  return true;
}

bool pinLengthOk(const char* pin) {
  size_t n = std::strlen(pin);
  return n >= 6 && n <= 16;
}

// PIN16: the PIN and spaces up to 16 bytes, wiped after use.
struct Pin16 {
  BYTE bytes[16];
  explicit Pin16(const char* pin) {
    std::memset(bytes, 0x20, sizeof bytes);
    size_t n = std::strlen(pin);
    std::memcpy(bytes, pin, n < 16 ? n : 16);
  }
  ~Pin16() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

}  // namespace

CMacCardReader& macReader() {
  static CMacCardReader reader;
  return reader;
}

CMacCardReader::~CMacCardReader() {
  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  if (m_mszReaders) SCardFreeMemory(m_hContext, m_mszReaders);
  if (m_hContext) SCardReleaseContext(m_hContext);
}

LONG CMacCardReader::Exchange(const BYTE* command, DWORD length, BYTE* received, DWORD* receivedLength) {
  if (!m_pioSendPci) return LONG(SCARD_E_INVALID_HANDLE);
  return SCardTransmit(m_hCard, m_pioSendPci, command, length, nullptr, received, receivedLength);
}

int CMacCardReader::Transmit(BYTE ins, BYTE p1, BYTE p2, const BYTE* data, BYTE lc, LeForm form, bool askLe,
                             BYTE& le, BYTE* response, size_t responseSize) {
  if (lc && !data) return kMacMissingData;
  BYTE command[300] = {0x00, ins, p1, p2};
  DWORD length = 4;
  if (lc) {
    command[4] = lc;
    std::memcpy(command + 5, data, lc);
    length = 5 + DWORD(lc);
  }
  const bool t1 = m_pioSendPci == SCARD_PCI_T1;
  bool sentLe = false;
  if (form != LeForm::None) {
    bool append = t1 ? (form == LeForm::Always || askLe) : (lc == 0 && le != 0);
    if (append) {
      command[length++] = le;
      sentLe = true;
    }
  }
  const bool requested = form != LeForm::None && le != 0;
  BYTE received[258];
  DWORD receivedLength = 256;
  LONG rv = Exchange(command, length, received, &receivedLength);
  if (rv != SCARD_S_SUCCESS) return int(rv);
  if (receivedLength == 2 && (received[0] == 0x61 || received[0] == 0x6C)) {
    const BYTE sw2 = received[1];
    const BYTE next = requested && le < sw2 ? le : sw2;
    if (received[0] == 0x61) {
      const BYTE getResponse[5] = {0x00, 0xC0, 0x00, 0x00, next};
      receivedLength = 256;
      rv = Exchange(getResponse, 5, received, &receivedLength);
    } else {
      if (sentLe) command[length - 1] = next;
      else command[length++] = next;
      receivedLength = 256;
      rv = Exchange(command, length, received, &receivedLength);
    }
    if (rv != SCARD_S_SUCCESS) return int(rv);
  }
  // No status word at all: the card or reader failed to answer.
  if (receivedLength < 2) return int(LONG(SCARD_F_COMM_ERROR));
  size_t n = receivedLength - 2;
  if (n > responseSize) n = responseSize;
  if (n && response) std::memcpy(response, received, n);
  le = BYTE(n);
  const int sw = received[receivedLength - 2] * 256 + received[receivedLength - 1];
  return sw == 0x9000 ? 0 : sw;
}

int CMacCardReader::selectApplication() {
  int status = kMacNoApplication;
  for (size_t i = 0; i < 5; ++i) {
    BYTE le = 0;
    BYTE response[256];
    status = Transmit(0xA4, 0x04, 0x00, kAids[i], 8, i == 0 ? LeForm::ByChoice : LeForm::Always, true, le, response,
                      sizeof response);
    if (status == 0) return 0;
  }
  return status;
}

int CMacCardReader::selectFile(BYTE hi, BYTE lo) {
  const BYTE id[2] = {hi, lo};
  BYTE le = 0;
  BYTE response[256];
  return Transmit(0xA4, 0x02, 0x00, id, 2, LeForm::None, false, le, response, sizeof response);
}

int CMacCardReader::connect() {
  if (m_bConnected) return 0;
  m_hContext = 0;
  m_hCard = 0;
  m_mszReaders = nullptr;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_hContext) != SCARD_S_SUCCESS) {
    m_hContext = 0;
    return kMacNoContext;
  }
  DWORD length = SCARD_AUTOALLOCATE;
  LONG listed = SCardListReadersA(m_hContext, nullptr, reinterpret_cast<LPSTR>(&m_mszReaders), &length);
  // The service says "no readers" with a code, not with an empty list.
  if (listed == LONG(SCARD_E_NO_READERS_AVAILABLE)) {
    m_mszReaders = nullptr;
    length = 0;
  } else if (listed != SCARD_S_SUCCESS) {
    SCardReleaseContext(m_hContext);
    m_hContext = 0;
    m_mszReaders = nullptr;
    return kMacListFailed;
  }
  if (length < 2) {
    SCardFreeMemory(m_hContext, m_mszReaders);
    SCardReleaseContext(m_hContext);
    m_hContext = 0;
    m_mszReaders = nullptr;
    return kMacNoReader;
  }
  if (m_strReader.empty()) {
    velmora::ui::ReaderSelectParams params;
    params.title = "請選擇讀卡機";
    params.label = "";
    params.okLabel = "確定";
    params.cancelLabel = "取消";
    params.sorted = false;
    params.resourceId = 208;
    for (DWORD i = 0; i < length && m_mszReaders[i];) {
      std::string name(m_mszReaders + i);
      i += DWORD(name.size()) + 1;
      params.readers.push_back(std::move(name));
    }
    std::optional<std::string> chosen = velmora::ui::readerSelectDialog(params);
    if (!chosen) {
      MacDisConnectCard();
      return kMacCancelled;
    }
    m_strReader = *chosen;
  }
  SCardFreeMemory(m_hContext, m_mszReaders);
  m_mszReaders = nullptr;
  SCardReleaseContext(m_hContext);
  m_hContext = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_hContext) != SCARD_S_SUCCESS) {
    m_hContext = 0;
    return kMacNoContext;
  }
  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  m_hCard = 0;
  LONG rv = SCardConnectA(m_hContext, m_strReader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_Tx, &m_hCard,
                          &m_dwProtocol);
  int result = kMacNoApplication;
  if (rv == SCARD_S_SUCCESS) {
    m_pioSendPci = m_dwProtocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    if (selectApplication() == 0) {
      m_bConnected = 1;
      return 0;
    }
  } else {
    result = int(rv);
  }
  // Give back this attempt's handles; the chosen reader stays remembered.
  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  SCardReleaseContext(m_hContext);
  m_hCard = 0;
  m_hContext = 0;
  m_pioSendPci = nullptr;
  return result;
}

int CMacCardReader::MacConnectCard() {
  int rv = connect();
  if (rv == 0 || rv == kMacCancelled) return rv;
  return kMacConnectFailedCode;
}

int CMacCardReader::MacDisConnectCard() {
  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  if (m_mszReaders) SCardFreeMemory(m_hContext, m_mszReaders);
  if (m_hContext) SCardReleaseContext(m_hContext);
  m_hContext = 0;
  m_hCard = 0;
  m_mszReaders = nullptr;
  m_pioSendPci = nullptr;
  m_strReader.clear();
  m_bConnected = 0;
  if (m_dwDisconnectWaitMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_dwDisconnectWaitMs));
  return 0;
}

int CMacCardReader::MacGetCardStatus() {
  char name[200];
  BYTE atr[32];
  DWORD nameLength = sizeof name, atrLength = sizeof atr, state = 0, protocol = 0;
  return SCardStatusA(m_hCard, name, &nameLength, &state, &protocol, atr, &atrLength) == SCARD_S_SUCCESS
             ? 0
             : kMacStatusFailed;
}

int CMacCardReader::verifyOnly(const char* pin, BYTE file) {
  Pin16 block(pin);
  BYTE le = 0;
  BYTE response[256];
  int rv = Transmit(0x20, 0x01, file == 0xC7 ? 0x28 : 0x38, block.bytes, 16, LeForm::None, false, le, response,
                    sizeof response);
  if (rv == 0x6608) return kMacVerify6608;
  if (rv == 0x6620) return kMacVerify6620;
  return rv;
}

int CMacCardReader::writePin(const char* pin, BYTE file) {
  Pin16 block(pin);
  BYTE le = 0;
  BYTE response[256];
  return Transmit(0xD2, 0x01, 0x04, block.bytes, 16, file == 0xC7 ? LeForm::None : LeForm::ByChoice, false, le,
                  response, sizeof response);
}

int CMacCardReader::verifyPin(const char* pin, BYTE file) {
  if (!pin) return kMacMissingData;
  if (!pinLengthOk(pin)) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnectedCode;
  int rv = selectFile(0x00, file);
  if (rv == 0x6620) return file == 0xC7 ? kMacSelectC7_6620 : kMacSelectC9_6620;
  if (rv != 0) return rv;
  return verifyOnly(pin, file);
}

int CMacCardReader::changePin(const char* oldPin, const char* newPin, BYTE file) {
  if (!oldPin || !newPin) return kMacMissingData;
  if (!pinLengthOk(oldPin) || !pinLengthOk(newPin)) return kMacBadLength;
  if (!m_bConnected) return kMacNotConnectedCode;
  int rv = verifyOnly(oldPin, file);
  if (rv != 0) return rv;
  rv = selectFile(0x00, file);
  if (rv == 0x6620) return file == 0xC7 ? kMacSelectC7_6620 : kMacSelectC9_6620;
  if (rv != 0) return rv;
  return writePin(newPin, file);
}

int CMacCardReader::resetPin(const char* newPin, BYTE file) {
  if (!m_bConnected) return kMacNotConnectedCode;
  const BYTE id[2] = {0x00, file};
  BYTE le = 0;
  BYTE response[256];
  int rv = Transmit(0x2C, 0x00, 0x00, id, 2, LeForm::None, false, le, response, sizeof response);
  if (rv != 0 && rv != 0x6600) return rv;
  if (!newPin) return kMacMissingData;
  if (!pinLengthOk(newPin)) return kMacBadLength;
  rv = selectFile(0x00, file);
  if (rv != 0) return rv;
  return writePin(newPin, file);
}

int CMacCardReader::MacTermAuth(const char* key, const char* b64Cryptogram) {
  if (!m_bConnected) return kMacNotConnectedCode;
  if (!key || !b64Cryptogram) return kMacMissingData;
  std::vector<BYTE> cryptogram;
  if (std::strlen(b64Cryptogram) != 12 || !unbase64(b64Cryptogram, cryptogram) || cryptogram.size() != 8)
    return kMacBadLength;
  BYTE p2 = 0;
  if (std::strcmp(key, "C0") == 0) p2 = 0x08;
  else if (std::strcmp(key, "C3") == 0) p2 = 0x18;
  else if (std::strcmp(key, "C4") == 0) p2 = 0x20;
  else return kMacUnknownKey;
  BYTE le = 0;
  BYTE response[256];
  int rv = Transmit(0x82, 0x00, p2, cryptogram.data(), 8, LeForm::None, false, le, response, sizeof response);
  if (rv == 0x6600) return kMacAuth6600;
  if (rv == 0x6608) return kMacAuth6608;
  if (rv == 0x6620) return kMacAuth6620;
  return rv;
}

std::string CMacCardReader::MacGenRandom() {
  if (!m_bConnected) return {};
  BYTE response[256] = {};
  BYTE le = 8;
  if (Transmit(0x86, 0x00, 0x00, nullptr, 0, LeForm::Always, true, le, response, sizeof response) != 0 || le < 8)
    return {};
  return base64(response, 8);
}

std::string CMacCardReader::MacReadEF1001(int recN) {
  if (recN < 1 || recN > 7 || !m_bConnected) return {};
  if (selectFile(0x10, 0x01) != 0) return {};
  BYTE response[256] = {};
  BYTE le = recN == 1 ? 10 : recN == 2 ? 32 : 18;
  // 156 bytes of room; the byte after the data reads as zero.
  if (Transmit(0xB2, BYTE(recN), 0x04, nullptr, 0, LeForm::Always, true, le, response, 155) != 0) return {};
  const size_t n = le;
  if (n < 2) return {};
  std::string out;
  for (size_t i = 2; i <= n; ++i) out += response[i] ? char(response[i]) : ' ';
  return out;
}

}  // namespace quennet
