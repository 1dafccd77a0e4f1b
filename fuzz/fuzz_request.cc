// CGI request: the input is a query string and a referer, split at the
// first NUL byte.  The parsed request must follow the query's rules, and a
// redirect to any referer that holds no line end must be exactly one
// "Location:" line and an empty line.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "html.h"
#include "request.h"

using orvik_cgi::Page;
using orvik_cgi::ValueKind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t nul = input.find('\0');
  std::string query = input.substr(0, nul);
  std::string referer = nul == std::string::npos ? std::string() : input.substr(nul + 1);
  referer = referer.substr(0, referer.find('\0'));

  orvik_cgi::Request req = orvik_cgi::parse_request(query.c_str());
  bool section = query.size() > 2 && query.compare(0, 2, "s=") == 0 &&
                 query[2] >= '0' && query[2] <= '9';
  FUZZ_CHECK((req.page == Page::kSection) == section);
  FUZZ_CHECK(req.section >= 0);
  if (!section) FUZZ_CHECK(req.section == 0);
  // Keys count only where a pair starts.
  std::string pairs = "&" + query;
  FUZZ_CHECK(req.change == (pairs.find("&S=") != std::string::npos));
  if (!req.change) {
    FUZZ_CHECK(req.item.empty() && req.value_kind == ValueKind::kNone);
  } else {
    // Decoding never grows a text, and the name ends at the next "&".
    FUZZ_CHECK(req.item.size() <= query.size());
    if (req.item_usable) FUZZ_CHECK(req.item.find('\0') == std::string::npos);
  }
  if (req.value_kind != ValueKind::kNone) FUZZ_CHECK(pairs.find("&val=") != std::string::npos);

  // The referer taken as Origin and as Referer: a text that holds the
  // request's host never passes as another site, and the check never
  // refuses a request that carries neither.
  orvik_cgi::RequestHeaders headers;
  headers.host = "card.example:8080";
  FUZZ_CHECK(!orvik_cgi::from_other_site(headers));
  headers.origin = referer.c_str();
  orvik_cgi::from_other_site(headers);
  headers.origin = nullptr;
  headers.referer = referer.c_str();
  orvik_cgi::from_other_site(headers);
  std::string own = "http://card.example:8080/" + referer;
  headers.referer = own.c_str();
  FUZZ_CHECK(!orvik_cgi::from_other_site(headers));

  bool has_nul = false;
  std::string decoded = orvik_cgi::percent_decode(query, &has_nul);
  FUZZ_CHECK(decoded.size() <= query.size());
  FUZZ_CHECK(has_nul == (decoded.find('\0') != std::string::npos));
  uint64_t number = 0;
  if (orvik_cgi::parse_number(query, &number)) {
    // Whatever reads as a number reads the same through strtoull/strtoll.
    const char *s = query.c_str();
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    uint64_t ref = *s == '-' ? static_cast<uint64_t>(strtoll(s, nullptr, 0)) : strtoull(s, nullptr, 0);
    FUZZ_CHECK(number == ref);
  }

  if (referer.find_first_of("\r\n") == std::string::npos) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    FUZZ_CHECK(out != nullptr);
    html_doc_t doc;
    html_init_doc(&doc, 1, 0, referer.c_str(), out);
    html_render(&doc);
    html_free_doc(&doc);
    fclose(out);
    FUZZ_CHECK(std::string(buf, len) == "Location: " + referer + "\n\n");
    free(buf);
  }
  return 0;
}
