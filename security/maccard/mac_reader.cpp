#include "maccard/mac_reader.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "certs/pfx_store.h"
#include "resources/resource_ids.h"
#include "ui/dialogs.h"

namespace strabel {

namespace {

const BYTE kAids[4][8] = {
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x01},
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x02},
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x03},
    {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x05},
};

// A double-zero-terminated list of `length` characters as names.
std::vector<std::string> readerNames(LPCSTR list, DWORD length) {
  std::vector<std::string> names;
  DWORD i = 0;
  while (list && i < length && list[i]) {
    std::string name(list + i);
    i += DWORD(name.size()) + 1;
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

LONG CTaiMacReader::Exchange(const BYTE* command, DWORD length, BYTE* received, DWORD* receivedLength) {
  if (!m_pioSendPci) return LONG(SCARD_E_INVALID_HANDLE);
  return SCardTransmit(m_hCard, m_pioSendPci, command, length, nullptr, received, receivedLength);
}

int CTaiMacReader::Connect() {
  if (m_bConnected) return 0;
  m_hContext = 0;
  m_hCard = 0;
  m_mszReaders = nullptr;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_hContext) != SCARD_S_SUCCESS)
    return kMacNoContext;
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
    m_mszReaders = nullptr;
    SCardReleaseContext(m_hContext);
    m_hContext = 0;
    return kMacNoReader;
  }
  if (m_strReader.empty()) {
    velmora::ui::ReaderSelectParams params;
    params.title = DialogText(IDS_READER_CAPTION, "Select Reader");
    params.label = DialogText(IDS_READER_LABEL, "Reader");
    params.readers = readerNames(m_mszReaders, length);
    params.sorted = true;
    params.resourceId = 209;
    std::optional<std::string> chosen = velmora::ui::readerSelectDialog(params);
    if (!chosen) {
      Disconnect();
      return kMacCancelled;
    }
    m_strReader = *chosen;
  }
  // A fresh context for the connection; the second list is not used further.
  SCardFreeMemory(m_hContext, m_mszReaders);
  m_mszReaders = nullptr;
  SCardReleaseContext(m_hContext);
  m_hContext = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_hContext) != SCARD_S_SUCCESS) {
    m_hContext = 0;
    return kMacNoApplication;
  }
  length = SCARD_AUTOALLOCATE;
  if (SCardListReadersA(m_hContext, nullptr, reinterpret_cast<LPSTR>(&m_mszReaders), &length) != SCARD_S_SUCCESS)
    m_mszReaders = nullptr;

  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  m_hCard = 0;
  LONG rv = SCardConnectA(m_hContext, m_strReader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_Tx, &m_hCard,
                          &m_dwActiveProtocol);
  if (rv == SCARD_S_SUCCESS) {
    m_pioSendPci = m_dwActiveProtocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    ReadAtr();
    if (SelectApplication() == 0) {
      m_bConnected = 1;
      return 0;
    }
  }
  // Give back what this attempt holds; the chosen reader stays remembered.
  if (m_hCard) SCardDisconnect(m_hCard, SCARD_LEAVE_CARD);
  SCardFreeMemory(m_hContext, m_mszReaders);
  SCardReleaseContext(m_hContext);
  m_hCard = 0;
  m_hContext = 0;
  m_mszReaders = nullptr;
  m_pioSendPci = nullptr;
  return kMacNoApplication;
}

int CTaiMacReader::Disconnect() {
  int result = SCardDisconnect(m_hCard, SCARD_LEAVE_CARD) == SCARD_S_SUCCESS ? kMacDisconnected
                                                                             : kMacDisconnectFailed;
  if (SCardFreeMemory(m_hContext, m_mszReaders) != SCARD_S_SUCCESS) result = kMacFreeFailed;
  if (SCardReleaseContext(m_hContext) != SCARD_S_SUCCESS) result = kMacReleaseFailed;
  m_hContext = 0;
  m_hCard = 0;
  m_mszReaders = nullptr;
  m_pioSendPci = nullptr;
  m_strReader.clear();
  m_bConnected = 0;
  if (m_dwDisconnectWaitMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_dwDisconnectWaitMs));
  return result;
}

void CTaiMacReader::ReadAtr() {
  std::memset(m_atr, 0, sizeof m_atr);
  m_cbAtr = sizeof m_atr;
  char name[200];
  DWORD nameLength = sizeof name, state = 0, protocol = 0;
  if (SCardStatusA(m_hCard, name, &nameLength, &state, &protocol, m_atr, &m_cbAtr) != SCARD_S_SUCCESS) m_cbAtr = 0;
}

int CTaiMacReader::SelectApplication() {
  int status = kMacNoApplication;
  for (const auto& aid : kAids) {
    BYTE le = 0;
    BYTE response[256];
    status = TransmitApdu(0x00, 0xA4, 0x04, 0x00, 8, le, aid, response, sizeof response);
    if (status == 0) return 0;
  }
  return status;
}

int CTaiMacReader::SelectFile(BYTE hi, BYTE lo) {
  const BYTE id[2] = {hi, lo};
  BYTE le = 0;
  BYTE response[256];
  return TransmitApdu(0x00, 0xA4, 0x02, 0x00, 2, le, id, response, sizeof response);
}

int CTaiMacReader::TransmitApdu(BYTE cla, BYTE ins, BYTE p1, BYTE p2, BYTE lc, BYTE& le, const BYTE* data,
                                BYTE* response, size_t responseSize) {
  if (lc && !data) return kMacNoBuffer;
  BYTE command[300];
  DWORD length = 4;
  command[0] = cla;
  command[1] = ins;
  command[2] = p1;
  command[3] = p2;
  if (lc) {
    command[4] = lc;
    std::memcpy(command + 5, data, lc);
    length = 5 + DWORD(lc);
  }
  const bool t1 = m_pioSendPci == SCARD_PCI_T1;
  bool withLe = false;
  if (t1 || (lc == 0 && le != 0)) {
    command[length++] = le;
    withLe = true;
  }
  BYTE received[258];
  DWORD receivedLength = 256;
  LONG rv = Exchange(command, length, received, &receivedLength);
  if (rv != SCARD_S_SUCCESS) return int(rv);
  if (receivedLength == 2) {
    const BYTE sw1 = received[0], sw2 = received[1];
    if (sw1 == 0x61 || sw1 == 0x6C) {
      if (sw1 == 0x61) {
        const BYTE getResponse[5] = {0x00, 0xC0, 0x00, 0x00, BYTE(le == 0 || le >= sw2 ? sw2 : le)};
        receivedLength = 256;
        rv = Exchange(getResponse, 5, received, &receivedLength);
      } else {
        // The same command with the length the card offers (all of it when
        // the caller took whatever comes, as for 61xx).
        const BYTE again = le == 0 || le >= sw2 ? sw2 : le;
        if (withLe) command[length - 1] = again;
        else command[length++] = again;
        receivedLength = 256;
        rv = Exchange(command, length, received, &receivedLength);
      }
      if (rv != SCARD_S_SUCCESS) return int(rv);
    } else if (sw1 != 0x90 && sw1 != 0x00) {
      return sw1 * 256 + sw2;
    }
  }
  if (receivedLength < 2) return int(LONG(SCARD_F_COMM_ERROR));
  if (receivedLength > 2) {
    size_t n = receivedLength - 2;
    if (n > responseSize) n = responseSize;
    if (response) std::memcpy(response, received, n);
    le = BYTE(n);
  } else {
    // No data came back: report none rather than the length asked for.
    le = 0;
  }
  const int sw = received[receivedLength - 2] * 256 + received[receivedLength - 1];
  return sw == 0x9000 ? 0 : sw;
}

}  // namespace strabel
