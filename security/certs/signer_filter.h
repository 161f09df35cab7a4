// The certificate filter of signer selection: alternatives separated by
// "//", items "S_key=value" (subject) and "I_key=value" (issuer) separated
// by ",", "\n" or a line feed, and the two ways of matching them against a
// certificate's names (default subject matching, strict matching).
#pragma once

#include <windef.h>

#include <string>
#include <vector>

namespace strabel {

class CertInfo;

// One alternative: its subject and issuer items, prefixes stripped.
struct FilterAlternative {
  std::vector<std::string> subject;
  std::vector<std::string> issuer;
};

// A parsed filter. No alternatives means every certificate matches.
struct SignerFilter {
  std::vector<FilterAlternative> alternatives;
};

VELMORA_EXPORT SignerFilter ParseSignerFilter(const std::string& text);

// Splits a name text (or one alternative) into its parts: "," and the
// separators "\n" and line feed, carriage returns dropped, spaces next to
// "=" removed, a piece without "=" joined to the previous one with ",",
// every part trimmed.
VELMORA_EXPORT std::vector<std::string> SplitFilterParts(const std::string& text);

// Matching against the parts of one certificate. `subjectParts` carry the
// extra "SN=<serial>" part at the end.
VELMORA_EXPORT bool MatchAlternative(const FilterAlternative& alt, const std::vector<std::string>& subjectParts,
                                     const std::vector<std::string>& issuerParts, bool strict);
VELMORA_EXPORT bool MatchFilter(const SignerFilter& filter, const CertInfo& cert, bool strict);

}  // namespace strabel
