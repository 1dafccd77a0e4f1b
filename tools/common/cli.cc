#include "cli.h"

#include <err.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orvik_cli {

namespace {

bool is_digit(char c, bool hex) {
  return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
}

}  // namespace

bool parse_unsigned(const char *text, bool hex, uint64_t max, bool clamp, uint64_t *out) {
  errno = EINVAL;
  if (text == nullptr) return false;
  hex = hex && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text + (hex ? 2 : 0);
  if (!is_digit(*digits, hex)) return false;
  errno = 0;
  unsigned long long v = strtoull(digits, nullptr, hex ? 16 : 10);
  bool overflow = errno == ERANGE;
  // Checked by hand: base 16 would take a second "0x" after the first.
  const char *end = digits;
  while (is_digit(*end, hex)) ++end;
  if (*end != '\0') {
    errno = overflow ? ERANGE : EINVAL;
    return false;
  }
  if (overflow || v > max) {
    errno = ERANGE;
    if (!clamp) return false;
    v = max;
  }
  *out = v;
  return true;
}

bool parse_c_number(const char *text, Range range, bool space_after, uint64_t *out) {
  const char *start = text;
  while (isspace(static_cast<unsigned char>(*start))) ++start;
  char *end = nullptr;
  errno = 0;
  uint64_t v = range == Range::kSigned || *start == '-'
                   ? static_cast<uint64_t>(strtoll(start, &end, 0))
                   : strtoull(start, &end, 0);
  if (end == start || errno == ERANGE) return false;
  if (space_after)
    while (isspace(static_cast<unsigned char>(*end))) ++end;
  if (*end != '\0') return false;
  *out = v;
  return true;
}

bool parse_positive(const char *text, double max, double *out) {
  errno = 0;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  if (v <= 0 || v > max) return false;
  *out = v;
  return true;
}

bool scan_int(const char *text, int *out) { return sscanf(text, "%i", out) == 1; }

bool scan_long_long(const char *text, long long *out) { return sscanf(text, "%lli", out) == 1; }

bool scan_pair(const char *text, long long *first, long long *second) {
  return sscanf(text, "%lli:%lli", first, second) == 2;
}

bool scan_decimal(const char *text, long *out) {
  char *end = nullptr;
  long v = strtol(text, &end, 10);
  if (end == text) return false;
  *out = v;
  return true;
}

bool scan_time(const char *text, int *sec, int *nsec) {
  return sscanf(text, "%is%ins", sec, nsec) == 2;
}

bool scan_scaled(const char *text, float *out) {
  char unit = '\0';
  float v = 0;
  if (sscanf(text, "%f%1c", &v, &unit) < 1) return false;
  switch (unit) {
    case 'k': case 'K': v *= 1000.0f; break;
    case 'm': case 'M': v *= 1000000.0f; break;
    case 'g': case 'G': v *= 1000000000.0f; break;
    default: break;
  }
  *out = v;
  return true;
}

void fatal(int status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  verrx(status, format, args);
}

void fatal_errno(int status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  verr(status, format, args);
}

void warning(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vwarnx(format, args);
  va_end(args);
}

namespace {
void flush_output() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return;
  fprintf(stderr, "%s: cannot write the output: %s\n", program_invocation_short_name,
          errno != 0 ? strerror(errno) : "write error");
  _exit(1);
}
}  // namespace

void check_output_at_exit() { atexit(flush_output); }

}  // namespace orvik_cli
