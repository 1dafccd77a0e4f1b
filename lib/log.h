// Message helper shared by the library's modules.  Each module owns its own
// err_msg buffer; a message is formatted there (at most 4095 characters) and
// handed to verbose_msg only when verbose allows its level.
#ifndef ORVIK_LOG_H
#define ORVIK_LOG_H

#include <cstdarg>
#include <cstdio>

#include "tessel.h"

namespace orvik {

constexpr size_t kErrMsgSize = 4096;

inline bool log_enabled(int level) { return verbose >= level; }

__attribute__((format(printf, 3, 4))) inline void log_msg(char (&err_msg)[kErrMsgSize],
                                                          int level, const char *fmt, ...) {
  if (!log_enabled(level)) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(err_msg, kErrMsgSize, fmt, ap);
  va_end(ap);
  verbose_msg(level, err_msg);
}

}  // namespace orvik

#endif
