// Frame store editing: clone, remove, remove a range, randomise the
// Ethernet addresses.  The operations work on the list of frames.cc and
// write no messages; their results tell the caller what happened.
#include <stdlib.h>
#include <string.h>

#include "frames.h"
#include "frames_internal.h"

namespace {

using orvik::frames::entry_at;
using orvik::frames::head_as_entry;

// Result of a clone that found no memory for the copy; the list is as it was.
constexpr int kCloneNoMemory = 3;

// A deep copy of e's frame in a block of its own (same shape as a loaded
// frame), or null when memory is short.
frame_entry_t *copy_entry(const frame_entry_t *e) {
  const frame_t *src = e->frame;
  frame_entry_t *copy = orvik::frames::new_block(src->payload_size);
  if (copy == nullptr) return nullptr;
  *copy->frame->header = *src->header;
  if (src->payload_size > 0)
    memcpy(copy->frame->payload, src->payload, static_cast<size_t>(src->payload_size));
  return copy;
}

// Each frame gets a seed of its own; the multiplier is odd, so frame numbers
// below 2^32 map to distinct seeds for any argument.
unsigned int frame_seed(uint32_t seed, uint32_t number) {
  return seed + number * 2654435761u;
}

// Frames shorter than the two addresses get only their own bytes replaced.
void randomize_addresses(frame_t *f, unsigned int seed) {
  constexpr int32_t kAddressBytes = 12;
  int32_t n = f->payload_size < kAddressBytes ? f->payload_size : kAddressBytes;
  srandom(seed);
  for (int32_t k = 0; k < n; ++k) f->payload[k] = static_cast<uint8_t>(random() & 0xFF);
}

}  // namespace

extern "C" {

int ovke_clone_frame(int32_t from, int32_t to) {
  if (queue_head == nullptr) return 2;
  if (from < 0 || to < 0) return 1;
  // Both numbers refer to the list before the copy goes in, so the place is
  // found first; past the end it is the head, and the copy goes last.
  frame_entry_t *src = entry_at(from);
  if (src == head_as_entry() || src->frame == nullptr) return 1;
  frame_entry_t *pos = entry_at(to);
  frame_entry_t *copy = copy_entry(src);
  if (copy == nullptr) return kCloneNoMemory;
  orvik::frames::insert_before(pos, copy);
  return 0;
}

int ovke_remove_frame(int32_t index) {
  if (index < 0) return 1;
  if (queue_head == nullptr) return 2;
  frame_entry_t *e = entry_at(index);
  if (e != head_as_entry()) orvik::frames::release_entry(e);
  return 0;
}

int ovke_remove_frame_interval(int32_t from, int32_t to) {
  if (from > to || from < 0) return 1;
  if (queue_head == nullptr) return 2;
  frame_entry_t *e = entry_at(from);
  for (int64_t left = int64_t{to} - from + 1; left > 0 && e != head_as_entry(); --left) {
    frame_entry_t *next = e->next;
    orvik::frames::release_entry(e);
    e = next;
  }
  return 0;
}

void ovke_randomize_frames(uint32_t seed) {
  if (seed == 0 || queue_head == nullptr) return;
  uint32_t number = 0;
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next, ++number) {
    frame_t *f = e->frame;
    if (f != nullptr && f->payload != nullptr) randomize_addresses(f, frame_seed(seed, number));
  }
}

}  // extern "C"
