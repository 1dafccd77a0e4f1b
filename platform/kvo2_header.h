/* The 13-byte transmit header that goes in front of every frame handed to
 * the streaming library, in the card's byte order (little endian, the
 * host's on every supported machine):
 *
 *   bytes 0..3   transmit time, seconds
 *   bytes 4..7   transmit time, nanoseconds (or card clock units)
 *   byte  8      flag byte
 *   bytes 9..12  repeat count: the card sends the frame repeat + 1 times
 *
 * One definition for the writer (the frame sender) and the reader (the
 * simulated transmit path). */
#ifndef ORVIK_PLATFORM_KVO2_HEADER_H
#define ORVIK_PLATFORM_KVO2_HEADER_H

#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  KVO2_HDR_SEC = 0,
  KVO2_HDR_NSEC = 4,
  KVO2_HDR_FLAG = 8,
  KVO2_HDR_REPEAT = 9,
  KVO2_HDR_LEN = 13
};

typedef struct kvo2_header {
  uint32_t sec;
  uint32_t nsec;
  uint8_t flag;
  uint32_t repeat;
} kvo2_header_t;

static inline void kvo2_header_set_time(unsigned char *h, uint32_t sec, uint32_t nsec) {
  memcpy(h + KVO2_HDR_SEC, &sec, 4);
  memcpy(h + KVO2_HDR_NSEC, &nsec, 4);
}

static inline void kvo2_header_set_flags(unsigned char *h, uint8_t flag, uint32_t repeat) {
  h[KVO2_HDR_FLAG] = flag;
  memcpy(h + KVO2_HDR_REPEAT, &repeat, 4);
}

static inline kvo2_header_t kvo2_header_read(const unsigned char *h) {
  kvo2_header_t out;
  memcpy(&out.sec, h + KVO2_HDR_SEC, 4);
  memcpy(&out.nsec, h + KVO2_HDR_NSEC, 4);
  out.flag = h[KVO2_HDR_FLAG];
  memcpy(&out.repeat, h + KVO2_HDR_REPEAT, 4);
  return out;
}

#ifdef __cplusplus
}
#endif

#endif
