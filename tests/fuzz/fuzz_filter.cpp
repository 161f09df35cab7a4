// The signer filter language: any text parses, and matching it against any
// certificate names, in both modes, ends; the parts it splits into are
// trimmed and hold no line ends.
// (An item keeps a space after its prefix: "S_ CN=x" is the item " CN=x".) Input: filter NUL subject NUL issuer.
#include <string>

#include "certs/signer_filter.h"
#include "fuzz_check.h"

namespace {

// Parts are trimmed; items are parts with their "S_" or "I_" taken off,
// so only the line ends are checked there.
void checkParts(const std::vector<std::string>& parts, bool trimmed = true) {
  for (const auto& p : parts) {
    FUZZ_CHECK(p.find('\r') == std::string::npos && p.find('\n') == std::string::npos);
    if (trimmed) FUZZ_CHECK(p.empty() || (p.front() != ' ' && p.back() != ' '));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t a = all.find('\0');
  const std::string filterText = all.substr(0, a);
  const size_t b = a == std::string::npos ? std::string::npos : all.find('\0', a + 1);
  const std::string subject = a == std::string::npos ? "CN=Alice, O=Org, C=TW" : all.substr(a + 1, b - a - 1);
  const std::string issuer = b == std::string::npos ? "CN=Root CA" : all.substr(b + 1);

  const strabel::SignerFilter filter = strabel::ParseSignerFilter(filterText);
  auto subjectParts = strabel::SplitFilterParts(subject);
  const auto issuerParts = strabel::SplitFilterParts(issuer);
  checkParts(subjectParts);
  checkParts(issuerParts);
  subjectParts.push_back("SN=01");
  for (const auto& alt : filter.alternatives) {
    checkParts(alt.subject, false);
    checkParts(alt.issuer, false);
    strabel::MatchAlternative(alt, subjectParts, issuerParts, false);
    strabel::MatchAlternative(alt, subjectParts, issuerParts, true);
  }
  return 0;
}
