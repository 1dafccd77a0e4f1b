// The peer of the CGI benchmark: a CGI that does nothing but copy a
// prepared answer from its working directory to standard output, so that
// its rate is what the web server and process start-up allow.  The query
// string names the file (letters, digits, "-" and "." only); default
// page.out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool plain_name(const char *name) {
  if (name == nullptr || *name == '\0' || *name == '.') return false;
  return strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
         strlen(name);
}

}  // namespace

int main() {
  const char *query = getenv("QUERY_STRING");
  FILE *page = fopen(plain_name(query) ? query : "page.out", "rb");
  if (page == nullptr) {
    fputs("Status: 500\nContent-type: text/plain\n\nno such page\n", stdout);
    return 0;
  }
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, page)) > 0) fwrite(buf, 1, n, stdout);
  fclose(page);
  return 0;
}
