/* Common utility library of the card platform (libtessel.so.2).
 *
 * Logging level, message output, card time values and bit-field helpers.
 * Plain C interface; every program of the tool set links it. */
#ifndef ORVIK_PLATFORM_TESSEL_H
#define ORVIK_PLATFORM_TESSEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Verbosity: below 0 silences every message; 0 lets level-0 messages
 * through, 1 also level 1, 2 and more also level 2.  Starts at -1, or at
 * the integer in TESSEL_VERBOSE when that is set when the library loads. */
extern int verbose;

/* Writes text to standard error, adding a line feed when it lacks one.
 * Callers have already checked that verbose allows the level. */
void verbose_msg(int level, const char *text);

/* Card time value: seconds in the upper 32 bits, nanoseconds in the lower.
 * Splits it; nanoseconds of 10^9 or more carry into the seconds. */
void tl_interpret_time(const uint64_t *value, uint32_t *sec, uint32_t *nsec);

/* *result = (uint64_t)upper << 32 | lower. */
void tl_concat_nums(uint32_t upper, uint32_t lower, uint64_t *result);

/* In place: card time value -> plain nanosecond count (s * 10^9 + ns). */
void tl_time_transf(uint64_t *value);

/* In place: nanosecond count -> card time value (inverse of tl_time_transf). */
void tl_time_detransf(uint64_t *value);

/* The masked word shifted right by the number of trailing zero bits of
 * mask; mask 0 leaves the word unchanged. */
uint32_t tl_shiftval(uint32_t masked_word, uint32_t mask);

/* The value shifted left by the number of trailing zero bits of mask
 * (direction must be -1); mask 0 leaves the value unchanged. */
uint64_t tl_rshiftval(uint64_t value, uint32_t mask, int direction);

#ifdef __cplusplus
}
#endif

#endif
