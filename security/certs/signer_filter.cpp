#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include "certs/signer_filter.h"

#include <algorithm>
#include <cctype>

#include "certs/cert_info.h"

namespace strabel {

namespace {

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return std::string();
  const size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

std::string withoutPercent(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '%'), s.end());
  return s;
}

bool equalNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The keys that name an attribute in a filter item, longest first is not
// needed: each includes its "=".
const char* itemKey(const std::string& item, bool subjectSide) {
  for (const char* key : {"C=", "O=", "OU=", "CN="})
    if (startsWith(item, key)) return key;
  if (subjectSide && startsWith(item, "SN=")) return "SN=";
  return nullptr;
}

bool findPart(const std::string& item, const char* key, const std::vector<std::string>& parts) {
  const std::string k = key;
  for (const auto& part : parts) {
    if (!contains(part, key)) continue;
    if (k == "C=") {
      if (part == item) return true;
    } else if (k == "O=" || k == "OU=") {
      // "O=%text": the attribute contains text.
      if (item.find('%', 1) != std::string::npos) {
        const std::string needle = withoutPercent(item.size() > 3 ? item.substr(3) : std::string());
        if (part.find(needle) != std::string::npos) return true;
      } else if (part == item) {
        return true;
      }
    } else if (k == "CN=") {
      const std::string value = withoutPercent(item.substr(3));
      if (part.size() > 1 && part.find(value, 1) != std::string::npos) return true;
    } else if (k == "SN=") {
      if (equalNoCase(part, item)) return true;
    }
  }
  return false;
}

bool matchSide(const std::vector<std::string>& items, const std::vector<std::string>& parts, bool subjectSide) {
  if (items.empty()) return true;
  if (parts.empty()) return false;
  int known = 0;
  for (const auto& item : items) {
    const char* key = itemKey(item, subjectSide);
    if (!key) continue;
    ++known;
    if (!findPart(item, key, parts)) return false;
  }
  return known > 0;
}

}  // namespace

std::vector<std::string> SplitFilterParts(const std::string& input) {
  std::string text;
  for (char c : input)
    if (c != '\r') text.push_back(c);
  for (size_t p; (p = text.find(" =")) != std::string::npos;) text.erase(p, 1);
  for (size_t p; (p = text.find("= ")) != std::string::npos;) text.erase(p + 1, 1);

  std::vector<std::string> pieces;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ',' || text[i] == '\n') {
      pieces.push_back(current);
      current.clear();
    } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      pieces.push_back(current);
      current.clear();
      ++i;
    } else {
      current.push_back(text[i]);
    }
  }
  pieces.push_back(current);

  std::vector<std::string> out;
  for (const auto& piece : pieces) {
    const std::string t = trim(piece);
    if (t.empty()) continue;
    // A value may hold commas: a piece that is no "key=value" continues the last one.
    if ((t.find('=') == std::string::npos || t[0] == '=') && !out.empty()) {
      out.back() += "," + piece;
      continue;
    }
    out.push_back(piece);
  }
  for (auto& part : out) part = trim(part);
  return out;
}

SignerFilter ParseSignerFilter(const std::string& text) {
  SignerFilter filter;
  if (text.size() < 2) return filter;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find("//", start);
    if (end == std::string::npos) end = text.size();
    const std::string alt = text.substr(start, end - start);
    start = end + 2;
    if (alt.size() < 4) continue;
    FilterAlternative a;
    for (const auto& item : SplitFilterParts(alt)) {
      if (startsWith(item, "S_")) a.subject.push_back(item.substr(2));
      else if (startsWith(item, "I_")) a.issuer.push_back(item.substr(2));
    }
    filter.alternatives.push_back(std::move(a));
  }
  return filter;
}

bool MatchAlternative(const FilterAlternative& alt, const std::vector<std::string>& subjectParts,
                      const std::vector<std::string>& issuerParts, bool strict) {
  if (strict) return matchSide(alt.subject, subjectParts, true) && matchSide(alt.issuer, issuerParts, false);
  // Default: every C, O, OU and CN of the subject must be listed.
  if (alt.subject.empty()) return true;
  int keyed = 0;
  for (const auto& part : subjectParts) {
    if (!(startsWith(part, "C=") || startsWith(part, "O=") || startsWith(part, "OU=") || startsWith(part, "CN=")))
      continue;
    ++keyed;
    if (std::find(alt.subject.begin(), alt.subject.end(), part) == alt.subject.end()) return false;
  }
  return keyed > 0;
}

bool MatchFilter(const SignerFilter& filter, const CertInfo& cert, bool strict) {
  if (filter.alternatives.empty()) return true;
  std::vector<std::string> subject = SplitFilterParts(cert.SubjectName());
  subject.push_back("SN=" + cert.Serial());
  const std::vector<std::string> issuer = SplitFilterParts(cert.IssuerName());
  for (const auto& alt : filter.alternatives)
    if (MatchAlternative(alt, subject, issuer, strict)) return true;
  return false;
}

}  // namespace strabel
