/* Frame store of liborvik: one PCAP capture held in memory as a circular
 * doubly linked list of frames, loaded, edited and saved.
 *
 * The list head is its own sentinel: an empty list has first and last
 * pointing at the head, the last entry's next and the first entry's prev
 * point at the head.  Walk it as
 *
 *   frame_queue_t *q = ovke_get_frames();
 *   for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next)
 *
 * Every entry, frame, record header and payload belongs to the store:
 * callers may read the list, change payload bytes and lower a frame's
 * payload_size together with its header's incl_len, never link, unlink
 * or free.  Single-threaded; one store per process. */
#ifndef ORVIK_FRAMES_H
#define ORVIK_FRAMES_H

#include <stdint.h>
#include <stdio.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PCAP global header, host byte order, 24 bytes. */
typedef struct pcap_hdr_s {
  uint32_t magic_number;
  uint16_t version_major;
  uint16_t version_minor;
  int32_t thiszone;
  uint32_t sigfigs;
  uint32_t snaplen;
  uint32_t network;
} pcap_hdr_t;

/* PCAP record header, host byte order, 16 bytes. */
typedef struct pcaprec_hdr_s {
  int32_t ts_sec;
  int32_t ts_usec;   /* fraction of the second; the sender reads nanoseconds */
  uint32_t incl_len; /* captured bytes that follow */
  uint32_t orig_len;
} pcaprec_hdr_t;

typedef struct frame {
  pcaprec_hdr_t *header; /* the frame's own copy of its record header */
  int32_t payload_size;
  uint8_t *payload;
} frame_t;

typedef struct frame_entry {
  frame_t *frame;
  struct frame_entry *next;
  struct frame_entry *prev;
} frame_entry_t;

typedef struct frame_queue {
  frame_entry_t *first;
  frame_entry_t *last;
} frame_queue_t;

#ifdef __cplusplus
static_assert(sizeof(pcap_hdr_t) == 24, "PCAP global header is 24 bytes");
static_assert(sizeof(pcaprec_hdr_t) == 16, "PCAP record header is 16 bytes");
#else
_Static_assert(sizeof(pcap_hdr_t) == 24, "PCAP global header is 24 bytes");
_Static_assert(sizeof(pcaprec_hdr_t) == 16, "PCAP record header is 16 bytes");
#endif

/* Results of the frame store's functions (each says which it gives). */
enum {
  OVKE_OK = 0,
  /* ovke_load_file */
  OVKE_LOAD_NO_HEADER = 1,
  OVKE_LOAD_NO_MEMORY = 2,
  OVKE_LOAD_UNKNOWN_FORMAT = 3,
  OVKE_LOAD_MIXED_LINK_TYPES = 4,
  /* ovke_save_file */
  OVKE_SAVE_FAILED = 1,
  /* ovke_clone_frame, ovke_remove_frame, ovke_remove_frame_interval */
  OVKE_BAD_ARGUMENT = 1,
  OVKE_NOT_INITIALISED = 2,
  OVKE_CLONE_NO_MEMORY = 3
};

/* Empties the list (releasing its frames); always OVKE_OK. */
ORVIK_EXPORT int ovke_init(void);
/* Releases every frame; the head stays valid and empty. */
ORVIK_EXPORT void ovke_free(void);
/* The list head, or NULL before the first ovke_init. */
ORVIK_EXPORT frame_queue_t *ovke_get_frames(void);

/* Appends the records of the open stream *stream (the caller closes it):
 * a classic PCAP capture (microsecond or nanosecond times, either byte
 * order; turned into host order) or a pcapng capture (saved as a
 * nanosecond PCAP in host order).  A regular file is mapped privately and
 * its frames point into the mapping until the store is emptied; a pipe is
 * read to its end.  OVKE_OK loaded up to the end of the usable data;
 * OVKE_LOAD_NO_HEADER global header not readable; OVKE_LOAD_NO_MEMORY out
 * of memory; OVKE_LOAD_UNKNOWN_FORMAT neither PCAP nor pcapng;
 * OVKE_LOAD_MIXED_LINK_TYPES a pcapng whose interfaces have different link
 * types.  After the last two the list is as before the call.  If another process cuts the mapped file
 * short, touching a lost frame writes a message and ends the process with
 * status 1.  (A load planned for payload work, see ovke_plan_next_load,
 * reads the file into memory instead: frames the file no longer holds as
 * it is read are dropped, and a later save refuses the changed file.) */
ORVIK_EXPORT int ovke_load_file(FILE **stream);
/* Progress of the loads that follow.  While ovke_load_file reads and walks
 * its input, progress is called now and then, and once when the load ends,
 * with the input's bytes taken so far, the input's size (0 while a pipe is
 * still being read) and the frames the load has added.  NULL (the default)
 * calls nothing.  The setting outlives ovke_init and ovke_free. */
typedef void (*ovke_load_progress_t)(uint64_t bytes, uint64_t size, uint64_t frames, void *arg);
ORVIK_EXPORT void ovke_set_load_progress(ovke_load_progress_t progress, void *arg);
/* What the caller will do right after the next load, so that the load
 * prepares for it; applies to that load only.  plan: 0 or these:
 * OVKE_PLAN_SAVE  save the frames as loaded to save_path (NULL: no save
 *   planned).  The load then also copies a classic host-order capture file
 *   into a temporary file beside save_path as it reads it, and
 *   ovke_save_file(save_path) of the frames exactly as loaded only puts that
 *   file in save_path's place: the capture is read once instead of twice.
 *   A save of changed frames, or to another path, writes them as usual.
 *   The copy lasts until the next save (to any path), the next load,
 *   ovke_free or an edit that writes payloads; where the file system
 *   allows, it has no name before the save, so a process that dies leaves
 *   nothing behind.
 * OVKE_PLAN_PAYLOADS  read or change most payloads.  The load then reads
 *   a capture file into memory of the store's own instead of mapping it,
 *   which costs memory of the file's size but no page faults later.
 *   Overrides OVKE_PLAN_SAVE (changes in that memory cannot be told). */
enum { OVKE_PLAN_SAVE = 1, OVKE_PLAN_PAYLOADS = 2 };
ORVIK_EXPORT void ovke_plan_next_load(unsigned plan, const char *save_path);
/* Writes the list as a PCAP file; the target is replaced only when every
 * write succeeded.  OVKE_OK written; OVKE_SAVE_FAILED (target unchanged, errno tells
 * why: ESTALE when a loaded file was changed by another process). */
ORVIK_EXPORT int ovke_save_file(const char *path);

/* Copies frame from so that it has number to.  OVKE_OK done;
 * OVKE_BAD_ARGUMENT (negative, or from past the end); OVKE_NOT_INITIALISED;
 * OVKE_CLONE_NO_MEMORY for the copy.  The list is unchanged unless the
 * result is OVKE_OK. */
ORVIK_EXPORT int ovke_clone_frame(int32_t from, int32_t to);
/* OVKE_OK done or nothing to remove; OVKE_BAD_ARGUMENT index negative;
 * OVKE_NOT_INITIALISED. */
ORVIK_EXPORT int ovke_remove_frame(int32_t index);
/* Both ends inclusive.  OVKE_OK done or nothing to remove;
 * OVKE_BAD_ARGUMENT from > to or from negative; OVKE_NOT_INITIALISED. */
ORVIK_EXPORT int ovke_remove_frame_interval(int32_t from, int32_t to);
/* Cuts every frame longer than snaplen bytes to snaplen (its incl_len
 * becomes snaplen; orig_len keeps the length on the wire), and makes
 * snaplen the snapshot length of the global header the next save writes.
 * OVKE_OK; OVKE_BAD_ARGUMENT snaplen not above 0; OVKE_NOT_INITIALISED. */
ORVIK_EXPORT int ovke_set_snaplen(int32_t snaplen);
/* Overwrites bytes 0..11 (the Ethernet addresses) of every frame with
 * pseudo-random bytes; seed 0 changes nothing.  Frames loaded from a file
 * may get new payload pointers (the store copies the file into memory
 * first), so payload pointers taken before the call are not used after. */
ORVIK_EXPORT void ovke_randomize_frames(uint32_t seed);

#ifdef __cplusplus
}
#endif

#endif
