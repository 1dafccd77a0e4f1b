// Register values as HTML: one text per value, chosen by display format
// and access kind, and the two-column table of a value list.  Texts are
// built in std::string and handed out as malloc()ed copies.
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "html.h"
#include "tessel.h"

namespace {

using ull = unsigned long long;

const char kOnText[] = "<img src='/images/indicate_up.gif' alt='ON' title='ON'> (on)";
const char kOffText[] = "<img src='/images/indicate_down.gif' alt='OFF' title='OFF'> (off)";
const char kUpText[] = "<img src='/images/indicate_up.gif' alt='UP' title='UP'> (up)";
const char kDownText[] =
    "<img src='/images/indicate_down.gif' alt='DOWN' title='DOWN'> (down)";

// One formatting pass for the usual short texts, a second only for long ones.
__attribute__((format(printf, 1, 2))) std::string format(const char *fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int len = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  std::string text;
  if (len > 0 && static_cast<size_t>(len) < sizeof small) {
    text.assign(small, static_cast<size_t>(len));
  } else if (len > 0) {
    text.resize(static_cast<size_t>(len));
    vsnprintf(text.data(), text.size() + 1, fmt, again);
  }
  va_end(again);
  return text;
}

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

// The number as text; a writable item gets it inside its edit form, which
// sends the edited text back as "val".
std::string number_text(const value_t &v, bool hex) {
  std::string number = format(hex ? "0x%llX" : "%llu", static_cast<ull>(v.value));
  if (v.access != ACCESS_RW) return number;
  return format(
      "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"%s\">"
      "<input type=\"text\" value=\"%s\" name=\"val\"><input type=\"submit\" "
      "value=\"Set\"></form>",
      or_empty(v.name), number.c_str());
}

std::string bin_text(uint64_t value) {
  char *bits = nullptr;
  printbits(&bits, value);
  std::string text = bits;
  free(bits);
  return text;
}

// Logarithmic scale: 10 px per factor of ten, the largest 32-bit value at
// 100 px.  For v >= 1 the result lies between 3 and 196.
uint32_t hist_width(uint64_t v) {
  if (v == 0) return 0;
  double width = 10.0 * log10(static_cast<double>(v) / 4294967295.0) + 100.0;
  return static_cast<uint32_t>(width);
}

std::string timestamp_text(const value_t &v) {
  if (v.value == UINT64_MAX) return "UNDEF";
  uint32_t sec = 0, nsec = 0;
  tl_interpret_time(&v.value, &sec, &nsec);
  return format("%us%09uns", sec, nsec);
}

std::string enum_select(const value_t &v) {
  std::string text = format(
      "<form action=\"?\" method=\"GET\"><input type=\"hidden\" name=\"S\" value=\"%s\">"
      "<select name=\"val\">\n",
      or_empty(v.name));
  for (const param_t *p = v.params; p != nullptr; p = p->next) {
    ull pv = static_cast<ull>(p->value);
    if (pv == v.value)
      text += format("<option value='%llu' selected=\"selected\">%s</option>\n", pv,
                     or_empty(p->text));
    else
      text += format("<option value='%llu'>%s</option>\n", pv, or_empty(p->text));
  }
  text += "</select><input type=\"submit\" value=\"Set\"></form>\n";
  return text;
}

std::string enum_text(const value_t &v) {
  const param_t *p = v.params;
  while (p != nullptr && static_cast<uint64_t>(p->value) != v.value) p = p->next;
  if (p == nullptr || p->text == nullptr)
    return format("Unknown text for: 0x%llX", static_cast<ull>(v.value));
  if (p->uimg == nullptr) return p->showtext ? p->text : "&nbsp;";
  if (p->showtext)
    return format("<img src='%s' alt='%s' title='%s'> %s", p->uimg, p->uimg, p->text, p->text);
  return format("<img src='%s' alt='%s' title='%s'>", p->uimg, p->uimg, p->text);
}

// False for FORMAT_CONFIG, which has no presentation.
bool value_text(const value_t &v, std::string *text) {
  if (v.status == STATUS_NA) {
    *text = "N/A";
    return true;
  }
  if (v.status == STATUS_UNDEFINED) {
    *text = "UNDEFINED";
    return true;
  }
  switch (v.format) {
    case FORMAT_HEX: *text = number_text(v, true); break;
    case FORMAT_BIN: *text = bin_text(v.value); break;
    case FORMAT_SWITCH: *text = v.value != 0 ? kOnText : kOffText; break;
    case FORMAT_VSWITCH: *text = v.value == 0 ? kOnText : kOffText; break;
    case FORMAT_HIST:
      *text = format("<div class=\"pgbar\" style='width:%upx'>&nbsp;</div>%llu",
                     hist_width(v.value), static_cast<ull>(v.value));
      break;
    case FORMAT_INDICATE: *text = v.value != 0 ? kUpText : kDownText; break;
    case FORMAT_VINDICATE: *text = v.value == 0 ? kUpText : kDownText; break;
    case FORMAT_TIMESTAMP: *text = timestamp_text(v); break;
    case FORMAT_ENUM: *text = v.access == ACCESS_RW ? enum_select(v) : enum_text(v); break;
    case FORMAT_CONFIG: return false;
    default: *text = number_text(v, false); break;  // DEC, HEADER, UNKNOWN and above
  }
  return true;
}

char *to_malloced(const std::string &text) { return strdup(text.c_str()); }

html_tag_t *paired(const char *name, const char *attributes, html_tag_t *children) {
  return html_create_tag(const_cast<char *>(name), const_cast<char *>(attributes), 0, 1, 0, 0,
                         nullptr, children);
}

// Text node owning an already allocated text.
html_tag_t *owned_text(char *text) {
  return html_create_tag(text, nullptr, 1, 0, text != nullptr, 0, nullptr, nullptr);
}

html_tag_t *heading_row(const value_t &v) {
  return paired("tr", nullptr,
                paired("th", "colspan=\"2\"", html_create_text(or_empty(v.display))));
}

// Built with C allocations only: a std::bad_alloc here would leave
// html_create_table_from_list, a C entry point, through an exception.
html_tag_t *value_row(const value_t &v) {
  char *label = v.access == ACCESS_RW ? html_alloc_string("<a href='?S=%s'>%s</a>",
                                                          or_empty(v.name), or_empty(v.display))
                                      : strdup(or_empty(v.display));
  html_tag_t *th = paired("th", nullptr, owned_text(label));
  th->next = paired("td", nullptr, owned_text(html_create_text_from_value(&v)));
  return paired("tr", nullptr, th);
}

}  // namespace

extern "C" {

char *html_create_text_from_value(const value_t *value) {
  if (value == nullptr) return nullptr;
  try {
    std::string text;
    if (!value_text(*value, &text)) return nullptr;
    return to_malloced(text);
  } catch (...) {
    return nullptr;
  }
}

html_tag_t *html_create_table_from_list(const value_list_t *list) {
  if (list == nullptr) return nullptr;
  html_tag_t *table = paired("table", nullptr, nullptr);
  html_tag_t *last = nullptr;
  for (const value_list_t *node = list; node != nullptr; node = node->next) {
    const value_t *v = node->data;
    if (v == nullptr || v->format == FORMAT_CONFIG) continue;
    html_tag_t *row = v->format == FORMAT_HEADER ? heading_row(*v) : value_row(*v);
    if (last == nullptr)
      table->children = row;
    else
      last->next = row;
    last = row;
  }
  return table;
}

}  // extern "C"
