// The outside card tool library's class, as the host uses it. This build
// ships the least stand-in: it finds no card and registers nothing. Returned
// texts stay owned by the object; copy them at once.
#pragma once

#include <windef.h>

#include <string>

class VELMORA_EXPORT CCardToolLib {
 public:
  CCardToolLib();
  ~CCardToolLib();

  char* OpenCard(const char* reader);
  int ChangePin(const char* pinNew, const char* pinNewConfirm);
  int ChangePin2(const char* pinNew, const char* pinNewConfirm);
  char* getReaderList();
  char* QueryCert();
  int regCert(const char* cspName);
  char* ReadEF1001(int recordNumber);
  int CloseCard();

 private:
  std::string* m_text;  // the last text handed out
};
