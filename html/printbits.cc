// Base-2 text of a 64-bit value, shared by the CGI pages and the console.
#include <err.h>
#include <stdlib.h>
#include <string.h>

#include "html.h"

extern "C" void printbits(char **out, uint64_t value) {
  // "0b" + at most 64 digits + NUL.
  char *text = static_cast<char *>(malloc(2 + 64 + 1));
  if (text == nullptr) err(1, "printbits");
  char *p = text;
  *p++ = '0';
  *p++ = 'b';
  if (value == 0) {
    *p++ = '0';
  } else {
    int top = 63 - __builtin_clzll(value);
    for (int bit = top; bit >= 0; --bit) *p++ = ((value >> bit) & 1) ? '1' : '0';
  }
  *p = '\0';
  *out = text;
}
