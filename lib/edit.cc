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

// One step of SplitMix64: a fast generator with good output for any
// state, so each frame's bytes come from the seed and the frame's number
// alone (one seed, one result) without seeding a library generator per
// frame.
uint64_t splitmix64(uint64_t *state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// Frames shorter than the two addresses get only their own bytes replaced.
void randomize_addresses(frame_t *f, uint32_t seed, uint32_t number) {
  constexpr int32_t kAddressBytes = 12;
  int32_t n = f->payload_size < kAddressBytes ? f->payload_size : kAddressBytes;
  uint64_t state = (static_cast<uint64_t>(seed) << 32) | number;
  uint8_t bytes[16];
  uint64_t a = splitmix64(&state), b = splitmix64(&state);
  memcpy(bytes, &a, sizeof a);
  memcpy(bytes + 8, &b, sizeof b);
  memcpy(f->payload, bytes, static_cast<size_t>(n));
}

// Removes up to count entries from e (numbered index) on; the cursor is
// left on the entry that takes e's number, or on the one before the gap,
// so that removing runs from the back of the list walks it only once.
void remove_run(int64_t index, frame_entry_t *e, int64_t count) {
  frame_entry_t *before = e->prev;
  for (; count > 0 && e != head_as_entry(); --count) {
    frame_entry_t *next = e->next;
    orvik::frames::release_entry(e);
    e = next;
  }
  if (e != head_as_entry())
    orvik::frames::cursor = orvik::frames::Cursor{index, e};
  else if (before != head_as_entry())
    orvik::frames::cursor = orvik::frames::Cursor{index - 1, before};
}

}  // namespace

extern "C" {

int ovke_clone_frame(int32_t from, int32_t to) {
  if (queue_head == nullptr) return OVKE_NOT_INITIALISED;
  if (from < 0 || to < 0) return OVKE_BAD_ARGUMENT;
  // Both numbers refer to the list before the copy goes in, so the place is
  // found first; past the end it is the head, and the copy goes last.
  frame_entry_t *src = entry_at(from);
  if (src == head_as_entry() || src->frame == nullptr) return OVKE_BAD_ARGUMENT;
  frame_entry_t *pos = entry_at(to);
  frame_entry_t *copy = copy_entry(src);
  if (copy == nullptr) return OVKE_CLONE_NO_MEMORY;
  int64_t at = to < orvik::frames::frame_count ? to : orvik::frames::frame_count;
  orvik::frames::insert_before(pos, copy);
  orvik::frames::cursor = orvik::frames::Cursor{at, copy};
  return OVKE_OK;
}

int ovke_remove_frame(int32_t index) {
  if (index < 0) return OVKE_BAD_ARGUMENT;
  if (queue_head == nullptr) return OVKE_NOT_INITIALISED;
  frame_entry_t *e = entry_at(index);
  if (e != head_as_entry()) remove_run(index, e, 1);
  return OVKE_OK;
}

int ovke_remove_frame_interval(int32_t from, int32_t to) {
  if (from > to || from < 0) return OVKE_BAD_ARGUMENT;
  if (queue_head == nullptr) return OVKE_NOT_INITIALISED;
  frame_entry_t *e = entry_at(from);
  if (e != head_as_entry()) remove_run(from, e, int64_t{to} - from + 1);
  return OVKE_OK;
}

int ovke_set_snaplen(int32_t snaplen) {
  if (snaplen <= 0) return OVKE_BAD_ARGUMENT;
  if (queue_head == nullptr) return OVKE_NOT_INITIALISED;
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next) {
    frame_t *f = e->frame;
    if (f == nullptr || f->payload_size <= snaplen) continue;
    f->payload_size = snaplen;
    f->header->incl_len = static_cast<uint32_t>(snaplen);
  }
  pcap_header.snaplen = static_cast<uint32_t>(snaplen);
  return OVKE_OK;
}

void ovke_randomize_frames(uint32_t seed) {
  if (seed == 0 || queue_head == nullptr) return;
  orvik::frames::prepare_to_write_payloads();
  uint32_t number = 0;
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next, ++number) {
    frame_t *f = e->frame;
    if (f != nullptr && f->payload != nullptr) randomize_addresses(f, seed, number);
  }
}

}  // extern "C"
