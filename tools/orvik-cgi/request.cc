// Query-string parsing of orvik.cgi.
#include "request.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace orvik_cgi {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of key: the text after its first occurrence up to the next
// "&" or the end.  False when the key does not occur.
bool find_value(std::string_view query, std::string_view key, std::string_view *value) {
  size_t at = query.find(key);
  if (at == std::string_view::npos) return false;
  std::string_view rest = query.substr(at + key.size());
  *value = rest.substr(0, rest.find('&'));
  return true;
}

// The value of key where the key is a whole one: at the very start of the
// query or right after an "&" (so "xformat=" is not "format=").
bool find_whole_key(std::string_view query, std::string_view key, std::string_view *value) {
  for (size_t at = query.find(key); at != std::string_view::npos; at = query.find(key, at + 1)) {
    if (at != 0 && query[at - 1] != '&') continue;
    std::string_view rest = query.substr(at + key.size());
    *value = rest.substr(0, rest.find('&'));
    return true;
  }
  return false;
}

Format read_format(std::string_view query) {
  std::string_view raw;
  if (!find_whole_key(query, "format=", &raw)) return Format::kHtml;
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
  if (!find_value(query, "S=", &raw)) return;
  req->change = true;
  bool has_nul = false;
  req->item = percent_decode(raw, &has_nul);
  req->item_usable = !has_nul;
  if (!find_value(query, "val=", &raw)) return;
  bool value_nul = false;
  std::string text = percent_decode(raw, &value_nul);
  req->value_kind = !value_nul && parse_number(text, &req->value) ? ValueKind::kNumber
                                                                   : ValueKind::kInvalid;
}

}  // namespace

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
  const char *start = text.c_str();
  while (isspace((unsigned char)*start)) ++start;
  if (*start == '\0') return false;
  char *end = nullptr;
  errno = 0;
  uint64_t result;
  if (*start == '-') {
    long long signed_value = strtoll(start, &end, 0);
    result = static_cast<uint64_t>(signed_value);
  } else {
    result = strtoull(start, &end, 0);
  }
  if (errno == ERANGE || end == start) return false;
  while (isspace((unsigned char)*end)) ++end;
  if (*end != '\0') return false;
  *value = result;
  return true;
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
