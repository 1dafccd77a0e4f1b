// The request of one orvik.cgi run, read from its query string.  Pure
// functions with no I/O, so that tests and fuzzers can drive them directly.
#ifndef ORVIK_CGI_REQUEST_H
#define ORVIK_CGI_REQUEST_H

#include <stdint.h>

#include <string>
#include <string_view>

namespace orvik_cgi {

enum class Page { kList, kSection };

// The form of the answer ("format=").
enum class Format {
  kHtml,        // no "format=": the pages
  kJson,        // "json"
  kPrometheus,  // "prometheus": the text exposition format
  kUnknown,     // any other text: refused
};

enum class ValueKind {
  kNone,     // no "val=": the item's bits are toggled
  kNumber,   // "val=" held a number
  kInvalid,  // "val=" held something else: the request is refused
};

struct Request {
  Page page = Page::kList;
  // 0 = every section, else 1-based; capped at INT32_MAX so that a huge
  // number never wraps into "all sections".
  int32_t section = 0;

  bool change = false;       // "S=" present
  std::string item;          // decoded item name
  bool item_usable = true;   // false when decoding produced a NUL byte
  ValueKind value_kind = ValueKind::kNone;
  uint64_t value = 0;

  Format format = Format::kHtml;
};

// The headers of a request that tell where it was sent from; nullptr for a
// header the request does not carry.
struct RequestHeaders {
  const char *host = nullptr;        // Host
  const char *origin = nullptr;      // Origin
  const char *referer = nullptr;     // Referer
  const char *fetch_site = nullptr;  // Sec-Fetch-Site
  bool https = false;                // the request came over TLS (default port 443)
};

// The raw value of key in a query string: the text after "key=" up to the
// next "&" or the end, where "key=" starts the query string or follows an
// "&" (so "interval=7" holds no "val").  The first such pair counts; false
// when there is none.
bool query_value(std::string_view query, std::string_view key, std::string_view *value);

// True when a change request must be refused because another site made the
// browser send it: Sec-Fetch-Site says "cross-site" or "same-site", or the
// Origin (failing that, the Referer) names another host and port than Host.
// A request without Host (run by hand) and one without Origin and Referer
// (curl, scripts) pass, unless Sec-Fetch-Site speaks against them.
bool from_other_site(const RequestHeaders &headers);

// query is the QUERY_STRING, or nullptr when the variable is unset (the
// program started outside a web server: the page of all sections).
Request parse_request(const char *query);

// Form decoding: "+" is a blank, "%XX" the byte it names; a "%" that is
// not followed by two hex digits stays as it is.  *has_nul is set when a
// "%00" was decoded.
std::string percent_decode(std::string_view text, bool *has_nul);

// A whole text read as C's "%lli" reads it (decimal, 0x hex, leading-0
// octal, optional sign; surrounding blanks allowed), but every character
// must belong to the number.  Negative numbers wrap to 64 bits.
bool parse_number(const std::string &text, uint64_t *value);

}  // namespace orvik_cgi

#endif
