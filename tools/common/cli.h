// Number parsing and diagnostics shared by the command-line programs.
//
// Two families of parsers:
// - parse_*: the whole text is the number, or the parse fails and *out is
//   left as it was;
// - scan_*: a leading number as sscanf reads it, whatever follows ignored;
//   for the options that have always been read that way.
// The diagnostics go to stderr as "program: message", like err(3).
#ifndef ORVIK_TOOLS_CLI_H
#define ORVIK_TOOLS_CLI_H

#include <cstdint>

namespace orvik_cli {

// Decimal digits only (no sign, no space); with hex also "0x" or "0X" and
// hexadecimal digits.  Numbers above max, including those past 64 bits,
// fail, or become max with clamp.  errno tells why it failed: ERANGE for
// digits beyond max (or, with text after them, beyond 64 bits), else
// EINVAL.
bool parse_unsigned(const char *text, bool hex, uint64_t max, bool clamp, uint64_t *out);

// Which numbers parse_c_number takes.
enum class Range {
  kSigned,  // the range of a 64-bit signed number
  kBits,    // also up to 2^64 - 1; negative numbers as their two's complement
};

// A number in C notation: decimal, 0x hexadecimal or leading-0 octal, with
// an optional sign; white space before it is skipped, white space after it
// is accepted only with space_after.  Out of range fails.
bool parse_c_number(const char *text, Range range, bool space_after, uint64_t *out);

// A finite decimal number above 0 and at most max; fractions and exponents
// allowed.
bool parse_positive(const char *text, double max, double *out);

// sscanf "%i": a C-notation number, its value cut to int as sscanf does.
bool scan_int(const char *text, int *out);
// sscanf "%lli".
bool scan_long_long(const char *text, long long *out);
// sscanf "%lli:%lli": two numbers with a colon between them.
bool scan_pair(const char *text, long long *first, long long *second);
// A leading decimal number (strtol, base 10).
bool scan_decimal(const char *text, long *out);
// sscanf "%is%ins": "<number>s<number>ns", the "ns" not checked.
bool scan_time(const char *text, int *sec, int *nsec);
// A number with an optional SI letter right after it: k/K thousand, m/M
// million, g/G thousand million; any other letter leaves the number as it is.
bool scan_scaled(const char *text, float *out);

// "program: message" on stderr, then exit(status).
[[noreturn]] void fatal(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// As fatal, with ": " and the text of errno after the message.
[[noreturn]] void fatal_errno(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// "program: message" on stderr; the run goes on.
void warning(const char *format, ...) __attribute__((format(printf, 1, 2)));

// From now on, a program whose standard output could not be written (a
// full disk, a closed pipe) says so at exit and ends with status 1, even
// when all else went well.
void check_output_at_exit();

}  // namespace orvik_cli

#endif
