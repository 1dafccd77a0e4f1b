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

// One frame lives in ONE malloc block: entry, frame record, record header
// and payload, in this order.  A capture of a million frames then costs a
// million allocations instead of four million, and a frame's header sits
// right in front of its payload.  entry is the first member, so the block is
// released with free(entry); everything that creates or releases frames goes
// through new_block/release_entry so that the shape never diverges.  The
// payload area is never null, also for an empty frame.
struct FrameBlock {
  frame_entry_t entry;
  frame_t frame;
  pcaprec_hdr_t header;
  alignas(8) uint8_t payload[];
};

// A block with room for payload_size bytes, its pointers wired, list links
// cleared; header and payload bytes are left for the caller.  Null when
// payload_size is negative or memory is short.
inline frame_entry_t *new_block(int32_t payload_size) {
  if (payload_size < 0) return nullptr;
  auto *b = static_cast<FrameBlock *>(
      malloc(sizeof(FrameBlock) + static_cast<size_t>(payload_size)));
  if (b == nullptr) return nullptr;
  b->frame.header = &b->header;
  b->frame.payload_size = payload_size;
  b->frame.payload = b->payload;
  b->entry.frame = &b->frame;
  b->entry.next = nullptr;
  b->entry.prev = nullptr;
  return &b->entry;
}

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
  free(e);
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
