// JSON and Prometheus answers of orvik.cgi.
#include "format_answer.h"

#include <string>
#include <vector>

#include "log.h"
#include "stat.h"
#include "status_format.h"

namespace orvik_cgi {

namespace {

char err_msg[orvik::kErrMsgSize];

const char *content_type(Format format) {
  return format == Format::kJson ? "application/json"
                                 : "text/plain; version=0.0.4; charset=utf-8";
}

void write_answer(FILE *out, Format format, unsigned status, const std::string &body) {
  if (status != 200) fprintf(out, "Status: %u\n", status);
  fprintf(out, "Content-Type: %s\n\n", content_type(format));
  fwrite(body.data(), 1, body.size(), out);
}

void write_error(FILE *out, Format format, unsigned status, const char *message) {
  write_answer(out, format, status,
               format == Format::kJson ? orvik_status::json_error_doc(status, message)
                                       : orvik_status::prometheus_error_doc(message));
}

// The body for a loaded library; false (after the error answer) when the
// card could not be read.
bool build_body(const Request &req, FILE *out, std::string *body) {
  std::vector<std::string> names = orvik_status::section_names();
  if (req.format == Format::kJson && req.page == Page::kList) {
    ovkc_read_values();  // applies the configuration items, as the list page does
    *body = orvik_status::json_sections_doc(names);
    ovkc_free_datalist();
    return true;
  }
  // A scrape always takes every section.
  int32_t section = req.format == Format::kPrometheus ? 0 : req.section;
  if (ovkc_read_values_by_module(section) != 0) {
    write_error(out, req.format, 500, "Error - reading values from hardware");
    return false;
  }
  ovkc_solver();
  orvik_status::ValueView view = orvik_status::current_values(names);
  *body = req.format == Format::kJson ? orvik_status::json_values_doc(view, nullptr)
                                      : orvik_status::prometheus_doc(view);
  ovkc_free_datalist();
  return true;
}

}  // namespace

void answer_in_format(const Request &req, FILE *out) {
  int rc = ovkc_init("addresses.xml");
  if (rc != 0) {
    write_error(out, req.format, 500,
                rc == 2 ? "Error - could not open configuration file"
                        : "Error - initialisation of ovkc");
    ovkc_free();
    return;
  }
  orvik::log_msg(err_msg, 0, "loaded configuration");
  std::string body;
  bool read = build_body(req, out, &body);
  ovkc_free();
  if (read) write_answer(out, req.format, 200, body);
}

}  // namespace orvik_cgi
