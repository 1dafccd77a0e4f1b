// JSON and Prometheus forms of the value list.
#include "status_format.h"

#include <stdio.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>

#include "html.h"
#include "tessel.h"

namespace orvik_status {

namespace {

// Doubles hold every integer up to 2^53 exactly; a JSON reader that keeps
// numbers as doubles (jq 1.6, JavaScript) would round anything above.
constexpr uint64_t kExactInDouble = uint64_t{1} << 53;

const char *const kFormats[] = {"HEX",       "DEC",  "BIN",        "SWITCH", "VSWITCH",
                                "HIST",      "INDICATE", "VINDICATE", "TIMESTAMP", "HEADER",
                                "ENUM",      "CONFIG"};
const char *const kAccess[] = {"NONE", "RO", "RW", "CNT", "CFG"};

// Printable ASCII without quote or backslash reads the same in a JSON
// string, a label value and a HELP text, so it needs no escaping at all.
// Most names and labels are like that; they skip the escaping machinery.
bool plain_text(std::string_view text) {
  for (char c : text)
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  return true;
}

bool counts(uint32_t format) {
  return format == FORMAT_DEC || format == FORMAT_HEX || format == FORMAT_HIST;
}

// A JSON string of text.  Texts from the card or the description may hold
// any bytes: what is not UTF-8 becomes U+FFFD, control characters are
// escaped, everything else is copied.
void append_json_string(std::string *out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  *out += '"';
  for (char c : valid_utf8(text)) {
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          *out += "\\u00";
          *out += kHex[c >> 4];
          *out += kHex[c & 0xF];
        } else {
          *out += c;
        }
    }
  }
  *out += '"';
}

// Collects text and hands it to the stream in pieces, so a document of a
// hundred thousand items never sits in memory whole.
class Sink {
 public:
  explicit Sink(FILE *out) : out_(out) {}
  Sink(const Sink &) = delete;
  Sink &operator=(const Sink &) = delete;
  ~Sink() { flush(); }

  std::string &text() { return text_; }
  // Call between items: writes what was collected once it is large.
  void maybe_flush() {
    if (text_.size() >= kChunk) flush();
  }
  void flush() {
    fwrite(text_.data(), 1, text_.size(), out_);
    text_.clear();
  }

 private:
  static constexpr size_t kChunk = 1 << 16;
  FILE *out_;
  std::string text_;
};

// Documents are written as text, item by item: a tree of the whole
// document would cost more than reading the card.
class JsonText {
 public:
  explicit JsonText(FILE *out) : sink_(out), out_(sink_.text()) {}
  void maybe_flush() { sink_.maybe_flush(); }

  void raw(std::string_view text) { out_ += text; }
  void key(std::string_view name) {
    out_ += '"';
    out_ += name;  // our own constant keys: nothing to escape
    out_ += "\":";
  }
  void text(const char *text) {
    if (text == nullptr) {
      out_ += "null";
    } else if (std::string_view view(text); plain_text(view)) {
      out_ += '"';
      out_ += view;
      out_ += '"';
    } else {
      append_json_string(&out_, view);
    }
  }
  // The shortest form that reads back as the same double; null when it is
  // not finite, as JSON has no such numbers.
  void real(double d) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    if (!std::isfinite(d) || ec != std::errc()) {
      out_ += "null";
      return;
    }
    out_.append(buf, end);
  }
  void number(int64_t n) { out_ += std::to_string(n); }
  void number(uint64_t n) { out_ += std::to_string(n); }
  void boolean(bool b) { out_ += b ? "true" : "false"; }
  // Values above 2^53 become strings of their decimal digits.
  void value(uint64_t v) {
    if (v <= kExactInDouble) {
      number(v);
    } else {
      out_ += '"';
      out_ += std::to_string(v);
      out_ += '"';
    }
  }

 private:
  Sink sink_;
  std::string &out_;
};

// ,"name":{"card":...,"chip":...} of one network interface.
void write_interface(JsonText &j, const char *name, const char *card, const char *chip) {
  j.raw(",\"");
  j.raw(name);
  j.raw("\":{\"card\":");
  j.text(card);
  j.raw(",\"chip\":");
  j.text(chip);
  j.raw("}");
}

// The key "identification" with its object.
void write_identification(JsonText &j, const Identity &id) {
  j.key("identification");
  j.raw("{\"firmware_version\":");
  j.number(uint64_t{id.fw_version});
  j.raw(",\"board\":");
  j.text(id.board);
  j.raw(",\"board_subtype\":");
  j.text(id.board_subtype);
  write_interface(j, "if0", id.if0_card, id.if0_chip);
  write_interface(j, "if1", id.if1_card, id.if1_chip);
  j.raw("}");
}

void write_section_head(JsonText &j, const ValueView &view, int32_t number) {
  const std::vector<std::string> &names = *view.names;
  j.raw("{");
  j.key("number");
  j.number(int64_t{number});
  j.raw(",");
  j.key("name");
  if (number >= 1 && static_cast<size_t>(number) <= names.size())
    j.text(names[number - 1].c_str());
  else
    j.text(static_cast<const char *>(nullptr));
  j.raw(",");
  j.key("items");
  j.raw("[");
}

void write_name_fields(JsonText &j, const value_t &v, int32_t section) {
  j.key("name");
  j.text(v.name);
  j.raw(",");
  j.key("label");
  j.text(v.display);
  j.raw(",");
  j.key("section");
  j.number(int64_t{section});
}

void write_value_item(JsonText &j, const value_t &v, int32_t section, const Rates *rates) {
  write_name_fields(j, v, section);
  j.raw(",\"format\":\"");
  j.raw(format_keyword(v.format));
  j.raw("\",\"access\":\"");
  j.raw(access_keyword(v.access));
  j.raw("\",");
  j.key("writable");
  j.boolean(v.access == ACCESS_RW || v.access == ACCESS_CFG);
  j.raw(",");
  j.key("valid");
  j.boolean(value_valid(v));
  j.raw(",");
  j.key("value");
  j.value(v.value);
  j.raw(",");
  j.key("text");
  j.text(value_text(v).c_str());
  double per_second = 0;
  if (rates != nullptr && rates->rate(v, &per_second)) {
    j.raw(",");
    j.key("rate");
    j.real(per_second);
  }
}

// The document: the identification, then the entries grouped into runs of
// one section in list order; write_item(j, entry, section) writes the
// fields of each entry that is not a heading.
template <typename WriteItem>
void write_sections_doc(FILE *out, const ValueView &view, WriteItem write_item) {
  JsonText j(out);
  j.raw("{");
  write_identification(j, view.identity);
  j.raw(",");
  j.key("sections");
  j.raw("[");
  bool open = false;
  int32_t current = 0;
  size_t i = 0;
  for (const value_list_t *n = view.list; n != nullptr; n = n->next, ++i) {
    int32_t number = view.sections != nullptr ? view.sections[i] : 0;
    if (!open || number != current) {
      if (open) j.raw("]},");
      write_section_head(j, view, number);
      open = true;
      current = number;
    } else {
      j.raw(",");
    }
    const value_t &v = *n->data;
    j.raw("{");
    if (v.format == FORMAT_HEADER) {
      j.key("heading");
      j.text(v.display);
    } else {
      write_item(j, v, number);
    }
    j.raw("}");
    j.maybe_flush();
  }
  if (open) j.raw("]}");
  j.raw("]}\n");
}

// Label values and HELP texts: backslash and line feed escaped, and in
// label values the double quote too.
void append_escaped(std::string *out, std::string_view text, bool quote) {
  if (plain_text(text)) {
    *out += text;
    return;
  }
  for (char c : valid_utf8(text)) {
    if (c == '\\')
      *out += "\\\\";
    else if (c == '\n')
      *out += "\\n";
    else if (c == '"' && quote)
      *out += "\\\"";
    else
      *out += c;
  }
}

void append_label(std::string *out, const char *name, std::string_view value, bool first) {
  if (!first) *out += ',';
  *out += name;
  *out += "=\"";
  append_escaped(out, value, true);
  *out += '"';
}

std::string_view text_or_empty(const char *text) { return text != nullptr ? text : ""; }

void append_info(std::string *out, const Identity &id) {
  *out += "# HELP orvik_card_info Identification of the card; the value is always 1.\n";
  *out += "# TYPE orvik_card_info gauge\n";
  *out += "orvik_card_info{";
  append_label(out, "firmware_version", std::to_string(id.fw_version), true);
  append_label(out, "board", text_or_empty(id.board), false);
  append_label(out, "board_subtype", text_or_empty(id.board_subtype), false);
  append_label(out, "if0_card", text_or_empty(id.if0_card), false);
  append_label(out, "if0_chip", text_or_empty(id.if0_chip), false);
  append_label(out, "if1_card", text_or_empty(id.if1_card), false);
  append_label(out, "if1_chip", text_or_empty(id.if1_chip), false);
  *out += "} 1\n";
}

}  // namespace

std::string value_text(const value_t &v) {
  if (v.value == UINT64_MAX) return "MAX";
  if (v.status == STATUS_NA) return "N/A";
  char buf[64];
  switch (v.format) {
    case FORMAT_HEX:
      snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v.value));
      return buf;
    case FORMAT_BIN: {
      char *bits = nullptr;
      printbits(&bits, v.value);
      std::string text = bits != nullptr ? bits : "";
      free(bits);
      return text;
    }
    case FORMAT_SWITCH:
    case FORMAT_INDICATE:
      return v.value != 0 ? "ON" : "OFF";
    case FORMAT_TIMESTAMP: {
      uint32_t sec = 0, nsec = 0;
      tl_interpret_time(&v.value, &sec, &nsec);
      snprintf(buf, sizeof buf, "%us%09uns", sec, nsec);
      return buf;
    }
    default:
      snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v.value));
      return buf;
  }
}

bool value_valid(const value_t &v) { return v.value == UINT64_MAX || v.status != STATUS_NA; }

const char *format_keyword(uint32_t format) {
  return format < std::size(kFormats) ? kFormats[format] : "UNKNOWN";
}

const char *access_keyword(uint32_t access) {
  return access < std::size(kAccess) ? kAccess[access] : "NONE";
}

Identity library_identity() {
  return Identity{ovkc_fw_version, ovkc_board,    ovkc_board_subtype, ovkc_if0_card,
                  ovkc_if0_chip,   ovkc_if1_card, ovkc_if1_chip};
}

std::vector<std::string> section_names() {
  std::vector<std::string> names;
  name_list_t *list = ovkc_get_namelist();
  for (const name_list_t *n = list; n != nullptr; n = n->next)
    names.emplace_back(n->name != nullptr ? n->name : "");
  ovkc_free_namelist(&list);
  return names;
}

ValueView current_values(const std::vector<std::string> &names) {
  return ValueView{ovkc_get_datalist(), ovkc_get_datalist_sections(), &names, library_identity()};
}

void Rates::update(const value_list_t *list) {
  previous_.swap(current_);
  previous_time_ = current_time_;
  have_previous_ = have_current_;
  current_.clear();
  for (const value_list_t *n = list; n != nullptr; n = n->next) {
    const value_t &v = *n->data;
    if (counts(v.format) && v.status != STATUS_NA && v.value != UINT64_MAX && v.name != nullptr)
      current_[v.name] = v.value;
  }
  current_time_ = Clock::now();
  have_current_ = true;
}

bool Rates::rate(const value_t &v, double *per_second) const {
  if (!have_previous_ || !counts(v.format) || v.name == nullptr) return false;
  auto now = current_.find(v.name);
  auto before = previous_.find(v.name);
  if (now == current_.end() || before == previous_.end()) return false;
  std::chrono::duration<double> elapsed = current_time_ - previous_time_;
  if (elapsed.count() <= 0) return false;
  // A register that was cleared or wrapped gives a negative change.
  auto change = static_cast<int64_t>(now->second - before->second);
  *per_second = static_cast<double>(change) / elapsed.count();
  return true;
}

void write_json_identification(FILE *out, const Identity &id) {
  JsonText j(out);
  j.raw("{");
  write_identification(j, id);
  j.raw("}\n");
}

void write_json_sections(FILE *out, const std::vector<std::string> &names,
                         const Identity &id) {
  JsonText j(out);
  j.raw("{");
  write_identification(j, id);
  j.raw(",\"sections\":[");
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) j.raw(",");
    j.raw("{\"number\":");
    j.number(uint64_t{i + 1});
    j.raw(",\"name\":");
    j.text(names[i].c_str());
    j.raw("}");
  }
  j.raw("]}\n");
}

void write_json_names(FILE *out, const ValueView &view) {
  write_sections_doc(out, view, write_name_fields);
}

void write_json_values(FILE *out, const ValueView &view, const Rates *rates) {
  write_sections_doc(out, view, [rates](JsonText &j, const value_t &v, int32_t section) {
    write_value_item(j, v, section, rates);
  });
}

void write_json_error(FILE *out, unsigned status, const char *message) {
  JsonText j(out);
  j.raw("{\"error\":{\"status\":");
  j.number(uint64_t{status});
  j.raw(",\"message\":");
  j.text(message);
  j.raw("}}\n");
}

void write_prometheus(FILE *out, const ValueView &view) {
  Sink sink(out);
  std::string &text = sink.text();
  append_info(&text, view.identity);
  text += "# HELP orvik_item_value Value of an item of the design description, as read from "
          "the card or computed from other items.\n";
  text += "# TYPE orvik_item_value gauge\n";
  size_t i = 0;
  const std::vector<std::string> &names = *view.names;
  for (const value_list_t *n = view.list; n != nullptr; n = n->next, ++i) {
    const value_t &v = *n->data;
    if (v.format == FORMAT_HEADER || !value_valid(v)) continue;
    int32_t number = view.sections != nullptr ? view.sections[i] : 0;
    bool known = number >= 1 && static_cast<size_t>(number) <= names.size();
    text += "orvik_item_value{";
    append_label(&text, "section", std::to_string(number), true);
    append_label(&text, "section_name", known ? names[number - 1] : "", false);
    append_label(&text, "item", text_or_empty(v.name), false);
    append_label(&text, "label", text_or_empty(v.display), false);
    append_label(&text, "format", format_keyword(v.format), false);
    text += "} ";
    text += std::to_string(v.value);
    text += '\n';
    sink.maybe_flush();
  }
}

void write_prometheus_error(FILE *out, const char *message) {
  std::string text = "# ";
  append_escaped(&text, message, false);
  text += '\n';
  fputs(text.c_str(), out);
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t len = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3
                                 : (byte >> 3) == 0x1E ? 4 : 0;
    bool ok = len != 0 && i + len <= text.size();
    uint32_t cp = len == 1 ? byte : len == 2 ? byte & 0x1F : len == 3 ? byte & 0x0F : byte & 0x07;
    for (size_t k = 1; ok && k < len; ++k) {
      auto cont = static_cast<unsigned char>(text[i + k]);
      ok = (cont & 0xC0) == 0x80;
      cp = cp << 6 | (cont & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && len > 1) ok = cp >= kSmallest[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    if (ok) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace orvik_status
