// State and entry helpers shared by the frame store's two files (frames.cc:
// load, save, lifecycle; edit.cc: the editing operations).  Nothing here is
// exported: the library is built with hidden visibility, and the standalone
// frame-store object localises these names.
//
// The store is also shipped as a relocatable object that C programs link
// without the C++ runtime, so these files use C++ syntax only: no
// exceptions, no new/delete, no library containers or strings.
#ifndef ORVIK_FRAMES_INTERNAL_H
#define ORVIK_FRAMES_INTERNAL_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "frames.h"

// The list head; its own sentinel.  queue_head is null until the first
// ovke_init and points at queue_head_mem from then on.
extern frame_queue_t queue_head_mem;
extern frame_queue_t *queue_head;
// Global header of the file loaded last; zero bytes before the first load.
extern pcap_hdr_t pcap_header;

// Load and save on a store that was never initialised are programming
// errors.  The failure text is the one C's assert(queue_head != NULL) prints,
// which C++'s own assert cannot reproduce (its NULL is spelt differently).
#define ORVIK_ASSERT_STORE_READY()                                         \
  ((queue_head != nullptr)                                                 \
       ? (void)0                                                           \
       : __assert_fail("queue_head != ((void *)0)", __FILE__, __LINE__, __func__))

namespace orvik::frames {

// One frame lives in ONE block: entry, frame record, record header and
// payload, in this order, so a frame's header sits right in front of its
// payload.  Blocks are carved from large chunks of mapped memory (see
// frames.cc): a capture of a million frames then costs a few hundred page
// mappings instead of four million allocations and a quarter of a million
// page faults, and the whole list goes back to the system at once.
//
// Every block comes from new_block and goes back through release_entry (one
// frame) or release_all_blocks (the whole store); free() must never see one.
// The payload area is never null, also for an empty frame.
struct FrameBlock {
  frame_entry_t entry;
  frame_t frame;
  pcaprec_hdr_t header;
  alignas(8) uint8_t payload[];
};

// A block with room for payload_size bytes, its pointers wired, list links
// cleared; header and payload bytes are left for the caller.  Null when
// payload_size is negative or memory is short.
frame_entry_t *new_block(int32_t payload_size);
// Gives back one block (already unlinked).
void release_block(frame_entry_t *e);
// Gives back every block at once; the list must be emptied by the caller.
void release_all_blocks();

inline frame_entry_t *head_as_entry() {
  return reinterpret_cast<frame_entry_t *>(queue_head);
}

// Links e in front of pos (pos may be the head: e becomes the last entry).
// The head is not laid out like an entry (its first/last sit where an
// entry keeps frame/next), so the ends go through first/last by name.
inline void insert_before(frame_entry_t *pos, frame_entry_t *e) {
  e->next = pos;
  if (pos == head_as_entry()) {
    e->prev = queue_head->last;
    queue_head->last = e;
  } else {
    e->prev = pos->prev;
    pos->prev = e;
  }
  if (e->prev == head_as_entry())
    queue_head->first = e;
  else
    e->prev->next = e;
}

inline void append(frame_entry_t *e) { insert_before(head_as_entry(), e); }

// Unlinks e and frees its block.
inline void release_entry(frame_entry_t *e) {
  if (e->prev == head_as_entry())
    queue_head->first = e->next;
  else
    e->prev->next = e->next;
  if (e->next == head_as_entry())
    queue_head->last = e->prev;
  else
    e->next->prev = e->prev;
  release_block(e);
}

// The entry numbered n (from 0), or the head when the list is shorter.
inline frame_entry_t *entry_at(int64_t n) {
  frame_entry_t *e = queue_head->first;
  while (e != head_as_entry() && n > 0) {
    e = e->next;
    --n;
  }
  return e;
}

}  // namespace orvik::frames

#endif
