// The peer of the CGI benchmark: a CGI that does nothing but copy a
// prepared answer (page.out in its working directory) to standard output,
// so that its rate is what the web server and process start-up allow.
#include <stdio.h>

int main() {
  FILE *page = fopen("page.out", "rb");
  if (page == nullptr) {
    fputs("Status: 500\nContent-type: text/plain\n\nno page.out\n", stdout);
    return 0;
  }
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, page)) > 0) fwrite(buf, 1, n, stdout);
  fclose(page);
  return 0;
}
