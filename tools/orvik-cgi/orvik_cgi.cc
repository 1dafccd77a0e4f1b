// orvik.cgi: the card's status pages for a web server.  One request per
// process: read the query, load the design description, then exactly one
// answer on standard output (list page, section page, redirect after a
// change, or error page).  The exit status is 0 on every path; failures
// are told by the error page and its status.  Messages go to standard
// error, which the server keeps as its error log.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "format_answer.h"
#include "html.h"
#include "log.h"
#include "request.h"
#include "stat.h"

namespace {

using orvik_cgi::Format;
using orvik_cgi::Page;
using orvik_cgi::Request;
using orvik_cgi::ValueKind;

static char err_msg[orvik::kErrMsgSize];

html_doc_t html_doc;

const char kDefaultTarget[] = "/cgi-bin/orvik.cgi";

// Identification texts stay unset when the card could not be read.
const char *shown(const char *text) { return text != nullptr ? text : "N/A"; }

// A text node owning a text made by html_alloc_string.
html_tag_t *owned_text(char *text) {
  return html_create_tag(text, nullptr, 1, 0, 1, 0, nullptr, nullptr);
}

void append(html_tag_t *tag) { html_append_body_tag(&html_doc, tag); }

void print_sections() {
  unsigned number = 1;
  name_list_t *names = ovkc_get_namelist();
  while (names != nullptr) {
    append(owned_text(html_alloc_string("<a href=\"?s=%u\">%s</a>\n", number++, names->name)));
    append(html_create_linebreak());
    name_list_t *done = names;
    names = names->next;
    free(done->name);
    free(done);
  }
}

void identify() {
  append(html_create_const_text("<h1>Identification</h1>\n"));
  append(owned_text(html_alloc_string("FW version: %u", ovkc_fw_version)));
  append(html_create_linebreak());
  append(owned_text(html_alloc_string(
      "Board name: %s - %s<br>\nIF0: %s (%s)<br>\nIF1: %s (%s)<br>\n", shown(ovkc_board),
      shown(ovkc_board_subtype), shown(ovkc_if0_card), shown(ovkc_if0_chip),
      shown(ovkc_if1_card), shown(ovkc_if1_chip))));
  append(html_create_linebreak());
}

void build_list_page() {
  append(html_create_const_text("<h1>Available sections</h1>"));
  ovkc_read_values();  // applies the configuration items; the names need no read
  print_sections();
  identify();
}

// False when the card could not be read.
bool build_section_page(int32_t section) {
  if (ovkc_read_values_by_module(section) != 0) return false;
  ovkc_solver();
  // The section page reloads itself so the registers stay current.
  html_init_doc(&html_doc, 1, 5, nullptr, stdout);
  append(html_create_link("?", "List of sections"));
  append(html_create_linebreak());
  html_tag_t *table = html_create_table_from_list(ovkc_get_datalist());
  if (table != nullptr) append(table);
  ovkc_free_datalist();  // the table holds its own copies
  return true;
}

// The redirect target goes into a header line: a referer that could end
// the line early is not used.
const char *redirect_target() {
  const char *referer = getenv("HTTP_REFERER");
  if (referer == nullptr || strpbrk(referer, "\r\n") != nullptr) return kDefaultTarget;
  return referer;
}

void fail(uint32_t status, const char *message) {
  html_render_error(&html_doc, status, message);
}

// Returns false (after the error page) when the library refused.
bool change_value(const Request &req) {
  int rc = 1;  // a name holding a NUL byte names no item
  if (req.item_usable) {
    if (req.value_kind == ValueKind::kNumber)
      rc = ovkc_change_value(req.item.c_str(), MODE_SET, req.value);
    else
      rc = ovkc_change_value(req.item.c_str(), MODE_TOGGLE, 0);
  }
  if (rc != 0) {
    fail(500, "Error - change value was not successful");
    return false;
  }
  return true;
}

void answer(const Request &req) {
  int rc = ovkc_init("addresses.xml");
  if (rc != 0) {
    fail(500, rc == 2 ? "Error - could not open configuration file"
                      : "Error - initialisation of ovkc");
    ovkc_free();
    return;
  }
  orvik::log_msg(err_msg, 0, "loaded configuration");

  if (req.change) {
    bool done = change_value(req);
    ovkc_free();
    if (done) {
      html_init_doc(&html_doc, 1, 0, redirect_target(), stdout);
      html_render(&html_doc);
    }
    return;
  }

  if (req.page == Page::kSection) {
    if (!build_section_page(req.section)) {
      html_free_doc(&html_doc);
      fail(500, "Error - reading values from hardware");
      ovkc_free();
      return;
    }
  } else {
    build_list_page();
  }
  html_render(&html_doc);
  ovkc_free();
  html_free_doc(&html_doc);
}

void run() {
  html_init_doc(&html_doc, 1, 0, nullptr, stdout);
  try {
    Request req = orvik_cgi::parse_request(getenv("QUERY_STRING"));
    // A value that is not a number must never reach the card: without this
    // check the request would fall back to toggling the item's bits.
    if (req.change && req.value_kind == ValueKind::kInvalid)
      fail(400, "Error - value is not a number");
    else if (!req.change && req.format == Format::kUnknown)
      fail(400, "Error - unknown format");
    else if (!req.change && req.format != Format::kHtml)
      orvik_cgi::answer_in_format(req, stdout);
    else
      answer(req);
  } catch (...) {
    fail(500, "Error - out of memory");
  }
}

}  // namespace

int main() {
  static char out_buffer[1 << 16];
  setvbuf(stdout, out_buffer, _IOFBF, sizeof(out_buffer));
  run();
  fflush(stdout);
  return 0;
}
