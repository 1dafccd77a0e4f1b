/* Frame sender of liborvik: replays a PCAP file into the card's transmit
 * path, every frame behind a 13-byte transmit header carrying its paced
 * transmit time.  Single-threaded; one send at a time.
 *
 * Beyond its result, a send
 * - loads the file into the frame store (frames.h) and empties the store
 *   again whichever way it ends: frames loaded before are gone;
 * - with the card clock (hw_clock), loads addresses.xml into the register
 *   library (stat.h), reads the clock and releases the register state
 *   (ovkc_free): a description loaded before is gone. */
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

/* Results of ovks_init and ovks_send (the refusals are the frame store's
 * load results of the same value). */
enum {
  OVKS_OK = 0,
  OVKS_FAILED = 1,
  OVKS_NOT_A_CAPTURE = 3,
  OVKS_MIXED_LINK_TYPES = 4
};

/* Resets the device choice to the default and the interface to 0;
 * OVKS_OK. */
ORVIK_EXPORT int ovks_init(void);
/* NULL device: the streaming library's default. */
ORVIK_EXPORT void ovks_set_output_iface(const char *device, uint16_t iface);
/* Receive and transmit channel masks of the next sends (default 0x00 and
 * 0x0F). */
ORVIK_EXPORT void ovks_set_masks(uint32_t rx, uint32_t tx);

/* Replays path.  start, interval and move may be NULL.  hw_clock: start
 * at the card clock; dry_run: open no device.  speed in bits per second,
 * 0 or less: no bandwidth limit.  OVKS_OK sent; OVKS_FAILED failure
 * (ovks_error tells why); OVKS_NOT_A_CAPTURE the capture is neither PCAP
 * nor pcapng, OVKS_MIXED_LINK_TYPES a pcapng with interfaces of different
 * link types (ovke_load_file's results); nothing was sent then. */
ORVIK_EXPORT int ovks_send(const char *path, const ovks_time_t *start,
                           const ovks_time_t *interval, const ovks_time_t *move,
                           uint8_t hw_clock, uint32_t repeat, uint8_t flag,
                           uint8_t dry_run, float speed);
/* Replay controls of the next sends; ovks_init restores the defaults. */
typedef struct ovks_replay {
  /* Capture-gap pacing only: the gaps between capture times are divided by
   * it, so 2.0 replays twice as fast.  Finite and above 0; default 1. */
  double multiplier;
  /* Passes over the capture in one send (0 counts as 1).  Transmit times
   * keep rising from pass to pass: with an interval the next pass goes on
   * one interval later, with a bandwidth limit the line budget simply
   * continues, and with capture gaps the next pass starts once the last
   * frame has left the line (its size at 0.78125 ns a byte, at least 1 ns)
   * and keeps the capture's gaps from there. */
  uint32_t loops;
  /* Called now and then during the walk, and once at its end, with the
   * frames walked so far and the frames of all passes; NULL: not called. */
  void (*progress)(uint64_t done, uint64_t total, void *arg);
  void *progress_arg;
} ovks_replay_t;

/* NULL: the defaults. */
ORVIK_EXPORT void ovks_set_replay(const ovks_replay_t *replay);

/* What the last successful send handed over (walked, in a dry run), all
 * passes together: frames and payload bytes, each frame once whatever the
 * repeat count, and the transmit times of the first and last of them as
 * paced, before any conversion to card clock units. */
typedef struct ovks_stats {
  uint64_t frames;
  uint64_t bytes;
  ovks_time_t first;
  ovks_time_t last;
} ovks_stats_t;

/* Fills *stats (ignored when NULL). */
ORVIK_EXPORT void ovks_get_stats(ovks_stats_t *stats);

/* Why the last send failed, one line without a line end ("" after a
 * success).  Owned by the library, valid until the next send. */
ORVIK_EXPORT const char *ovks_error(void);

/* Does nothing; kept for callers that pair it with ovks_init. */
ORVIK_EXPORT void ovks_free(void);

#ifdef __cplusplus
}
#endif

#endif
