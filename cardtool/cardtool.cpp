#include <cardtool/cardtool.h>

namespace {
// Failure codes of this stand-in; callers only tell success from failure.
constexpr int kNoCard = -1;
constexpr int kRegisterFailed = 10;
}  // namespace

CCardToolLib::CCardToolLib() : m_text(new std::string) {}
CCardToolLib::~CCardToolLib() { delete m_text; }

// Object literals for the page's script, in single quotes like the host's own.
char* CCardToolLib::OpenCard(const char*) {
  *m_text = "{'errCode':'-1','errMsg':'no card'}";
  return m_text->data();
}

int CCardToolLib::ChangePin(const char*, const char*) { return kNoCard; }
int CCardToolLib::ChangePin2(const char*, const char*) { return kNoCard; }

char* CCardToolLib::getReaderList() {
  m_text->clear();
  return m_text->data();
}

char* CCardToolLib::QueryCert() {
  *m_text = "{'errCode':'-1','errMsg':'no card','certs':[]}";
  return m_text->data();
}

int CCardToolLib::regCert(const char*) { return kRegisterFailed; }

char* CCardToolLib::ReadEF1001(int) {
  m_text->clear();
  return m_text->data();
}

int CCardToolLib::CloseCard() { return 0; }
