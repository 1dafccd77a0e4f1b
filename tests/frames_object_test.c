/* The standalone frame-store object linked into a plain C program with
 * libtessel alone: load a capture, edit it, save it, read the file back. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "frames.h"
#include "tessel.h"

static int failures;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static size_t put_record(uint8_t *p, int32_t sec, uint32_t len, uint8_t fill) {
  pcaprec_hdr_t h = {sec, 0, len, len};
  memcpy(p, &h, sizeof h);
  memset(p + sizeof h, fill, len);
  return sizeof h + len;
}

/* Global header and three frames of 20, 30, 40 bytes filled with 'a', 'b', 'c'. */
static size_t make_capture(uint8_t *buf) {
  pcap_hdr_t g = {0xa1b2c3d4, 2, 4, 0, 0, 65535, 1};
  size_t n = 0;
  memcpy(buf, &g, sizeof g);
  n += sizeof g;
  n += put_record(buf + n, 1, 20, 'a');
  n += put_record(buf + n, 2, 30, 'b');
  n += put_record(buf + n, 3, 40, 'c');
  return n;
}

static int write_temp(char *path, const uint8_t *data, size_t size) {
  int fd = mkstemp(path);
  if (fd < 0) return -1;
  ssize_t w = write(fd, data, size);
  close(fd);
  return w == (ssize_t)size ? 0 : -1;
}

static long read_all(const char *path, uint8_t *buf, size_t cap) {
  FILE *f = fopen(path, "rb");
  if (f == NULL) return -1;
  size_t n = fread(buf, 1, cap, f);
  fclose(f);
  return (long)n;
}

int main(void) {
  static uint8_t in[1024], expect[1024], got[2048];
  char in_path[] = "/tmp/orvik-frames-object-in-XXXXXX";
  char out_path[] = "/tmp/orvik-frames-object-out-XXXXXX";
  size_t size = make_capture(in);
  verbose = -1;

  CHECK(ovke_get_frames() == NULL);
  CHECK(ovke_clone_frame(0, 0) == OVKE_NOT_INITIALISED);
  CHECK(write_temp(in_path, in, size) == 0);
  CHECK(write_temp(out_path, (const uint8_t *)"", 0) == 0);

  CHECK(ovke_init() == OVKE_OK);
  FILE *f = fopen(in_path, "rb");
  CHECK(f != NULL);
  CHECK(ovke_load_file(&f) == OVKE_OK);
  fclose(f);

  /* a b c -> c a b c -> c a c */
  CHECK(ovke_clone_frame(2, 0) == OVKE_OK);
  CHECK(ovke_remove_frame(2) == OVKE_OK);
  ovke_randomize_frames(0);
  CHECK(ovke_save_file(out_path) == OVKE_OK);

  size_t n = sizeof(pcap_hdr_t);
  memcpy(expect, in, n);
  n += put_record(expect + n, 3, 40, 'c');
  n += put_record(expect + n, 1, 20, 'a');
  n += put_record(expect + n, 3, 40, 'c');
  long saved = read_all(out_path, got, sizeof got);
  CHECK(saved == (long)n);
  CHECK(saved == (long)n && memcmp(got, expect, n) == 0);

  CHECK(ovke_remove_frame_interval(0, 10) == OVKE_OK);
  frame_queue_t *q = ovke_get_frames();
  CHECK(q != NULL && q->first == (frame_entry_t *)q);
  ovke_free();

  unlink(in_path);
  unlink(out_path);
  if (failures == 0) puts("frames object: all checks passed");
  return failures == 0 ? 0 : 1;
}
