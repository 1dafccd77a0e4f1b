/* Streaming interface library of the card platform (libkvo2).
 *
 * Zero-copy transmit path: open the streaming device, subscribe channels,
 * start, hand frames over behind a transmit header, poll, close. */
#ifndef ORVIK_PLATFORM_KVO2_H
#define ORVIK_PLATFORM_KVO2_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kvodata kvodata_t;

/* Poll timeouts of the library, in the library's own units. */
extern uint32_t KVO2_RX_POLL_TIMEOUT;
extern uint32_t KVO2_TX_POLL_TIMEOUT;

/* Opens the streaming device; name NULL lets the library choose.
 * NULL on failure. */
kvodata_t *kvodata_open(const char *name);

/* Subscribes the channels in the masks; the masks are updated to those
 * actually subscribed.  0 on success. */
int kvodata_subscribe3(kvodata_t *kvo, uint32_t *rx_mask, uint32_t *tx_mask);

/* Starts streaming.  0 on success. */
int kvodata_start(kvodata_t *kvo);

/* Offers one frame: header and payload are read during the call and not
 * kept.  0 taken; 1 the device cannot take it yet (poll, then offer
 * again); any other value is an error and nothing was taken. */
int kvodata_prepare_and_try_write_next(kvodata_t *kvo, const void *header,
                                       uint32_t header_len, const void *payload,
                                       uint32_t payload_len, uint16_t iface);

/* Waits up to timeout for the events in *events; negative on error. */
int kvodata_poll(kvodata_t *kvo, uint16_t *events, uint32_t timeout);

/* Flushes and closes the device; NULL is accepted. */
void kvodata_close(kvodata_t *kvo);

#ifdef __cplusplus
}
#endif

#endif
