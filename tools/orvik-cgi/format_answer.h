// Answers of orvik.cgi for scripts and monitoring: the list and section
// pages as JSON, and every section's values in the Prometheus text
// exposition format.  No refresh and no HTML; failures keep the status
// codes of the pages, with a short body in the asked format.
#ifndef ORVIK_CGI_FORMAT_ANSWER_H
#define ORVIK_CGI_FORMAT_ANSWER_H

#include <stdio.h>

#include "request.h"
#include "status_format.h"

namespace orvik_cgi {

constexpr const char kReadError[] = "Error - reading values from hardware";

// With the design description loaded: reads the card and writes the whole
// answer (CGI header lines and body) to out.  req.format is kJson or
// kPrometheus; id is the identification to show.  False when the card could
// not be read; the answer is then the error answer with kReadError.
bool write_format_document(const Request &req, FILE *out, const orvik_status::Identity &id);

// The error answer in format: its status line, and a short body.
void write_format_error(FILE *out, Format format, unsigned status, const char *message);

}  // namespace orvik_cgi

#endif
