// Answers of orvik.cgi for scripts and monitoring: the list and section
// pages as JSON, and every section's values in the Prometheus text
// exposition format.  No refresh and no HTML; failures keep the status
// codes of the pages, with a short body in the asked format.
#ifndef ORVIK_CGI_FORMAT_ANSWER_H
#define ORVIK_CGI_FORMAT_ANSWER_H

#include <stdio.h>

#include "request.h"

namespace orvik_cgi {

// Loads the design description, reads the card and writes the whole answer
// (CGI header lines and body) to out.  req.format is kJson or kPrometheus.
void answer_in_format(const Request &req, FILE *out);

}  // namespace orvik_cgi

#endif
