// The DER reader: every element it returns lies inside its buffer and
// reads back the same when written again; OID texts are stable through
// the writer.
#include <algorithm>
#include <string>

#include "crypt/der.h"
#include "fuzz_check.h"

namespace der = velmora::crypt::der;

static void walk(const BYTE* p, size_t n, int depth) {
  der::Reader r(p, n);
  der::Element e;
  const BYTE* at = p;
  while (r.next(e)) {
    FUZZ_CHECK(e.start == at && e.start + e.total <= p + n);
    FUZZ_CHECK(e.content >= e.start && e.content + e.length == e.start + e.total);
    at = e.start + e.total;
    der::Bytes again = der::tlv(e.tag, e.content, e.length);
    der::Reader rr(again.data(), again.size());
    der::Element e2;
    FUZZ_CHECK(rr.next(e2) && rr.atEnd());
    FUZZ_CHECK(e2.tag == e.tag && e2.length == e.length);
    FUZZ_CHECK(std::equal(e.content, e.content + e.length, e2.content));
    // The writer's header is minimal, never longer than the one read.
    FUZZ_CHECK(again.size() <= e.total);
    if (e.tag == der::kOid) {
      std::string dotted;
      if (der::oidText(e.content, e.length, dotted)) {
        // The writer takes arcs of up to 18 digits; the reader gives up to 20.
        size_t longest = 0;
        for (size_t pos = 0, dot; pos <= dotted.size(); pos = dot + 1) {
          dot = dotted.find('.', pos);
          if (dot == std::string::npos) dot = dotted.size();
          longest = std::max(longest, dot - pos);
        }
        der::Bytes encoded;
        const bool written = der::oid(dotted, encoded);
        FUZZ_CHECK(written == (longest <= 18));
        if (!written) continue;
        der::Reader ro(encoded.data(), encoded.size());
        der::Element oe;
        FUZZ_CHECK(ro.expect(der::kOid, oe));
        std::string back;
        FUZZ_CHECK(der::oidText(oe.content, oe.length, back));
        FUZZ_CHECK(back == dotted);
      }
    }
    if ((e.tag & 0x20) && depth < 64) walk(e.content, e.length, depth + 1);
  }
  FUZZ_CHECK(at <= p + n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  walk(data, size, 0);
  return 0;
}
