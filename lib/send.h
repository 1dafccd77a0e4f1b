/* Frame sender of liborvik: replays a PCAP file into the card's transmit
 * path, every frame behind a 13-byte transmit header carrying its paced
 * transmit time.  Single-threaded; one send at a time. */
#ifndef ORVIK_SEND_H
#define ORVIK_SEND_H

#include <stdint.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A point in time or a duration, kept normalised (nsec < 10^9). */
typedef struct ovks_time {
  uint32_t sec;
  uint32_t nsec;
} ovks_time_t;

/* Frames handed over (or walked, in a dry run) by the last send. */
ORVIK_EXPORT extern uint64_t ovks_packet_sent;
/* Frames of the last send that the device refused or never took. */
ORVIK_EXPORT extern uint64_t ovks_packet_dropped;

/* Resets the device choice to the default and the interface to 0; 0. */
ORVIK_EXPORT int ovks_init(void);
/* NULL device: the streaming library's default. */
ORVIK_EXPORT void ovks_set_output_iface(const char *device, uint16_t iface);
/* Receive and transmit channel masks of the next sends (default 0x00 and
 * 0x0F). */
ORVIK_EXPORT void ovks_set_masks(uint32_t rx, uint32_t tx);

/* Replays path.  start, interval and move may be NULL.  hw_clock: start
 * at the card clock; dry_run: open no device.  speed in bits per second,
 * 0 or less: no bandwidth limit.  0 sent; 1 failure; 3 the capture is
 * neither PCAP nor pcapng, 4 a pcapng with interfaces of different link
 * types (ovke_load_file's results); nothing was sent then. */
ORVIK_EXPORT int ovks_send(const char *path, const ovks_time_t *start,
                           const ovks_time_t *interval, const ovks_time_t *move,
                           uint8_t hw_clock, uint32_t repeat, uint8_t flag,
                           uint8_t dry_run, float speed);
/* Does nothing; kept for callers that pair it with ovks_init. */
ORVIK_EXPORT void ovks_free(void);

#ifdef __cplusplus
}
#endif

#endif
