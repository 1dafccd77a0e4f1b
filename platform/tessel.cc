// Stand-in for the platform's common utility library.
#include "tessel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

int verbose = -1;

void verbose_msg(int /*level*/, const char *text) {
  if (text == nullptr) return;
  size_t len = strlen(text);
  fputs(text, stderr);
  if (len == 0 || text[len - 1] != '\n') fputc('\n', stderr);
}

void tl_interpret_time(const uint64_t *value, uint32_t *sec, uint32_t *nsec) {
  uint64_t s = *value >> 32;
  uint64_t ns = *value & 0xFFFFFFFFu;
  s += ns / 1000000000u;
  *sec = static_cast<uint32_t>(s);
  *nsec = static_cast<uint32_t>(ns % 1000000000u);
}

void tl_concat_nums(uint32_t upper, uint32_t lower, uint64_t *result) {
  *result = static_cast<uint64_t>(upper) << 32 | lower;
}

void tl_time_transf(uint64_t *value) {
  *value = (*value >> 32) * 1000000000u + (*value & 0xFFFFFFFFu);
}

void tl_time_detransf(uint64_t *value) {
  uint64_t s = *value / 1000000000u;
  uint64_t ns = *value % 1000000000u;
  *value = s << 32 | ns;
}

uint32_t tl_shiftval(uint32_t masked_word, uint32_t mask) {
  if (mask == 0) return masked_word;
  return masked_word >> __builtin_ctz(mask);
}

uint64_t tl_rshiftval(uint64_t value, uint32_t mask, int /*direction*/) {
  if (mask == 0) return value;
  return value << __builtin_ctz(mask);
}

}  // extern "C"

namespace {
// The level is taken from the environment once, when the library loads, so
// a web server can turn messages on for the CGI without a command line.
__attribute__((constructor)) void init_verbose_from_env() {
  const char *env = getenv("TESSEL_VERBOSE");
  if (env == nullptr || *env == '\0') return;
  char *end = nullptr;
  long v = strtol(env, &end, 10);
  if (end != env) verbose = static_cast<int>(v);
}
}  // namespace
