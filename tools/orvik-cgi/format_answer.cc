// JSON and Prometheus answers of orvik.cgi.
#include "format_answer.h"

#include <string>
#include <vector>

#include "stat.h"
#include "status_format.h"

namespace orvik_cgi {

namespace {

const char *content_type(Format format) {
  return format == Format::kJson ? "application/json"
                                 : "text/plain; version=0.0.4; charset=utf-8";
}

void write_head(FILE *out, Format format, unsigned status) {
  if (status != 200) fprintf(out, "Status: %u\n", status);
  fprintf(out, "Content-Type: %s\n\n", content_type(format));
}

}  // namespace

void write_format_error(FILE *out, Format format, unsigned status, const char *message) {
  write_head(out, format, status);
  if (format == Format::kJson)
    orvik_status::write_json_error(out, status, message);
  else
    orvik_status::write_prometheus_error(out, message);
}

bool write_format_document(const Request &req, FILE *out, const orvik_status::Identity &id) {
  std::vector<std::string> names = orvik_status::section_names();
  if (req.format == Format::kJson && req.page == Page::kList) {
    ovkc_read_values();  // applies the configuration items, as the list page does
    write_head(out, req.format, 200);
    orvik_status::write_json_sections(out, names, id);
    ovkc_free_datalist();
    return true;
  }
  // A scrape always takes every section.
  int32_t section = req.format == Format::kPrometheus ? 0 : req.section;
  if (ovkc_read_values_by_module(section) != OVKC_OK) {
    write_format_error(out, req.format, 500, kReadError);
    return false;
  }
  ovkc_solver();
  orvik_status::ValueView view = orvik_status::current_values(names);
  view.identity = id;
  write_head(out, req.format, 200);
  if (req.format == Format::kJson)
    orvik_status::write_json_values(out, view, nullptr);
  else
    orvik_status::write_prometheus(out, view);
  ovkc_free_datalist();
  return true;
}

}  // namespace orvik_cgi
