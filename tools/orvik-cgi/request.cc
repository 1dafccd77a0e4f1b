// Query-string parsing of orvik.cgi.
#include "request.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

namespace orvik_cgi {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Format read_format(std::string_view query) {
  std::string_view raw;
  if (!query_value(query, "format", &raw)) return Format::kHtml;
  bool has_nul = false;
  std::string name = percent_decode(raw, &has_nul);
  if (name == "json") return Format::kJson;
  if (name == "prometheus") return Format::kPrometheus;
  return Format::kUnknown;
}

// "s=" counts only at the very start and only with digits right after it.
bool read_section(std::string_view query, int32_t *section) {
  if (query.size() < 3 || query.substr(0, 2) != "s=" || !isdigit((unsigned char)query[2]))
    return false;
  uint64_t number = 0;
  for (size_t i = 2; i < query.size() && isdigit((unsigned char)query[i]); ++i) {
    number = number * 10 + static_cast<uint64_t>(query[i] - '0');
    if (number > INT32_MAX) number = INT32_MAX;  // far beyond the last section
  }
  *section = static_cast<int32_t>(number);
  return true;
}

void read_change(std::string_view query, Request *req) {
  std::string_view raw;
  if (!query_value(query, "S", &raw)) return;
  req->change = true;
  bool has_nul = false;
  req->item = percent_decode(raw, &has_nul);
  req->item_usable = !has_nul;
  if (!query_value(query, "val", &raw)) return;
  bool value_nul = false;
  std::string text = percent_decode(raw, &value_nul);
  req->value_kind = !value_nul && parse_number(text, &req->value) ? ValueKind::kNumber
                                                                   : ValueKind::kInvalid;
}

// "host:port" of an authority, the port made explicit; lower case, so that
// "Example.org" and "example.org:80" compare equal.  Empty when there is no
// host.
std::string host_and_port(std::string_view authority, std::string_view default_port) {
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  size_t colon = authority.rfind(':');
  // A colon inside "[...]" belongs to an IPv6 address, not to a port.
  if (colon != std::string_view::npos && authority.find(']', colon) != std::string_view::npos)
    colon = std::string_view::npos;
  std::string_view host = authority.substr(0, colon);
  std::string_view port =
      colon == std::string_view::npos ? default_port : authority.substr(colon + 1);
  if (port.empty()) port = default_port;
  if (host.empty()) return {};
  std::string out;
  for (char c : host) out += static_cast<char>(tolower((unsigned char)c));
  out += ':';
  out += port;
  return out;
}

// The "host:port" that an origin ("http://h:p") or a URL names; empty when
// the text is no absolute http or https URL.
std::string url_host_and_port(std::string_view url) {
  size_t sep = url.find("://");
  if (sep == std::string_view::npos) return {};
  std::string scheme;
  for (char c : url.substr(0, sep)) scheme += static_cast<char>(tolower((unsigned char)c));
  const char *port = scheme == "http" ? "80" : scheme == "https" ? "443" : nullptr;
  if (port == nullptr) return {};
  std::string_view rest = url.substr(sep + 3);
  return host_and_port(rest.substr(0, rest.find_first_of("/?#")), port);
}

}  // namespace

bool query_value(std::string_view query, std::string_view key, std::string_view *value) {
  for (size_t start = 0; start <= query.size();) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view pair = query.substr(start, end - start);
    if (pair.size() > key.size() && pair.substr(0, key.size()) == key &&
        pair[key.size()] == '=') {
      *value = pair.substr(key.size() + 1);
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool from_other_site(const RequestHeaders &headers) {
  if (headers.fetch_site != nullptr && (strcmp(headers.fetch_site, "cross-site") == 0 ||
                                        strcmp(headers.fetch_site, "same-site") == 0))
    return true;
  if (headers.host == nullptr || *headers.host == '\0') return false;
  const char *source = headers.origin != nullptr ? headers.origin : headers.referer;
  if (source == nullptr) return false;
  std::string named = url_host_and_port(source);
  return named.empty() || named != host_and_port(headers.host, headers.https ? "443" : "80");
}

std::string percent_decode(std::string_view text, bool *has_nul) {
  std::string out;
  out.reserve(text.size());
  *has_nul = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
               hex_digit(text[i + 2]) >= 0) {
      char byte = static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      if (byte == '\0') *has_nul = true;
      out += byte;
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool parse_number(const std::string &text, uint64_t *value) {
  return orvik_cli::parse_c_number(text.c_str(), orvik_cli::Range::kBits, true, value);
}

Request parse_request(const char *query) {
  Request req;
  if (query == nullptr) {
    req.page = Page::kSection;
    return req;
  }
  std::string_view q(query);
  if (read_section(q, &req.section)) req.page = Page::kSection;
  read_change(q, &req);
  req.format = read_format(q);
  return req;
}

}  // namespace orvik_cgi
