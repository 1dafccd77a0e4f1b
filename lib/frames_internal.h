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
#include <sys/types.h>

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
// The check stays in builds with NDEBUG too, where <assert.h> leaves the
// failure function undeclared.
#ifdef NDEBUG
extern "C" [[noreturn]] void __assert_fail(const char *assertion, const char *file, unsigned int line,
                                           const char *function) noexcept;
#endif
#define ORVIK_ASSERT_STORE_READY()                                         \
  ((queue_head != nullptr)                                                 \
       ? (void)0                                                           \
       : __assert_fail("queue_head != ((void *)0)", __FILE__, __LINE__, __func__))

namespace orvik::frames {

// A frame's list entry, frame record and record header live in ONE block
// of 64 bytes, a cache line: a walk over the list (a send's pacing, a
// filter) reads nothing else of the frames it passes.  The payload
// stays where the load found it (in a private mapping of the input file,
// or in the bytes read from a pipe); only a frame of the store's own making
// (a copy) carries its payload in the block, after the fixed part.  Blocks
// are carved from chunks of mapped memory (see frames.cc), so a capture of
// a million frames costs a few hundred page mappings instead of millions of
// allocations, and the whole list goes back to the system at once.
//
// Every block comes from new_block or new_loaded_block_in and goes back
// through release_entry (one frame) or release_all_blocks (the whole
// store); free() must never see one.
struct Chunk;
struct FrameBlock {
  frame_entry_t entry;
  frame_t frame;
  pcaprec_hdr_t header;
  alignas(8) uint8_t payload[];
};
static_assert(sizeof(FrameBlock) == 64, "a frame's fixed part fills one cache line");

// What a load knew of a frame's record, kept beside the loaded blocks in
// their chunk rather than in them: the record as found, in host order, and
// where its 16 bytes lie in the input when they hold exactly that (null
// otherwise: a swapped or a pcapng record).  A frame whose header, payload
// pointer and size still match is saved straight from the input.
struct LoadedRecord {
  pcaprec_hdr_t header;
  const uint8_t *origin;
};
// The loaded record of e's block; null for a block an edit made.
LoadedRecord *loaded_record(const frame_entry_t *e);

// A block with room for own_bytes of payload in it, its pointers wired
// (payload at the block's own area) and list links cleared; header bytes
// are left for the caller.  Null when own_bytes is negative or memory is
// short.
frame_entry_t *new_block(int32_t own_bytes);
// The chunks blocks are carved from and the size of the next chunk to map.
// The store has two (loaded frames, copies); a thread building frames
// apart has its own.
constexpr size_t kFirstChunk = size_t{64} << 10;
struct Arena {
  Chunk *current = nullptr;
  size_t next_chunk = kFirstChunk;
  bool records = true;  // blocks of loaded frames, each with its LoadedRecord
};
// A loaded frame's block (its payload in the input) with its record.
frame_entry_t *new_loaded_block_in(Arena &a, const pcaprec_hdr_t &h, const uint8_t *origin);
// Gives back one block (already unlinked).
void release_block(frame_entry_t *e);
// Gives back every block at once; the list must be emptied by the caller.
void release_all_blocks();

inline FrameBlock *block_of(frame_entry_t *e) { return reinterpret_cast<FrameBlock *>(e); }
inline const FrameBlock *block_of(const frame_entry_t *e) {
  return reinterpret_cast<const FrameBlock *>(e);
}

// Load hooks used by the capture parsers (capture.cc), kept in frames.cc.
// Appends a frame whose payload_size bytes lie at payload in the input
// being loaded; origin: see LoadedRecord.  False when memory is short.
bool append_frame(const pcaprec_hdr_t &h, const uint8_t *payload, const uint8_t *origin);
// Frames built apart from the list (on another thread, from the arena of
// that thread), in order, linked by next and prev; joined to the list or
// dropped as a whole.  add_to_run is append_frame's twin without reports.
struct FrameRun {
  frame_entry_t *first = nullptr;
  frame_entry_t *last = nullptr;
  int64_t count = 0;
};
bool add_to_run(FrameRun &run, Arena &a, const pcaprec_hdr_t &h, const uint8_t *payload,
                const uint8_t *origin);
// Appends the run's frames to the list and empties the run.
void append_run(FrameRun &run);
// Gives back the run's blocks and empties the run.
void release_run(FrameRun &run);
// Whether this load reports records or progress as it goes (which only a
// walk in order can do).
bool load_reports_wanted();
// Load reports: the global header (level 0), one record (levels 0 and 1),
// its data (level 1), the end of the records (level 2).
void report_global_header(const pcap_hdr_t &h);
void report_record(const pcaprec_hdr_t &h);
void report_frame_data(const pcaprec_hdr_t &h);
void report_end_of_records();

// Before an edit writes into the payloads of most frames (frames.cc).
void prepare_to_write_payloads();

// Reads n bytes at off of the file fd into buf, again after a signal or a
// short read; returns the bytes read, fewer only at the end of the file or
// on an error (frames.cc).
size_t read_at(int fd, uint8_t *buf, size_t n, off_t off);
// Writes n bytes at off of the file fd, again after a signal or a short
// write, in pieces of at most kWritePiece: one write of hundreds of
// megabytes is many times slower than the same bytes in pieces of a
// megabyte (the kernel's dirty-page accounting stalls a single huge
// write).  False when a write fails (errno says why).
constexpr size_t kWritePiece = size_t{1} << 20;
bool write_at(int fd, const uint8_t *buf, size_t n, off_t off);

// Number of entries in the list, and a remembered position in it: frames
// are addressed by number, and an editor walking through the list (or
// removing runs of frames from the back) then costs the distance from the
// last position, not from the front.  Insertions and removals invalidate
// the position unless the operation sets it again.
extern int64_t frame_count;
struct Cursor {
  int64_t index;
  frame_entry_t *entry;  // null: no position remembered
};
extern Cursor cursor;

inline frame_entry_t *head_as_entry() {
  return reinterpret_cast<frame_entry_t *>(queue_head);
}

// Links e in front of pos (pos may be the head: e becomes the last entry).
// The head is not laid out like an entry (its first/last sit where an
// entry keeps frame/next), so the ends go through first/last by name.
inline void link_before(frame_entry_t *pos, frame_entry_t *e) {
  ++frame_count;
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

// Appending leaves every number (and so the cursor) as it was.
inline void append(frame_entry_t *e) { link_before(head_as_entry(), e); }

inline void insert_before(frame_entry_t *pos, frame_entry_t *e) {
  cursor.entry = nullptr;
  link_before(pos, e);
}

// Unlinks e and frees its block.
inline void release_entry(frame_entry_t *e) {
  cursor.entry = nullptr;
  --frame_count;
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
// Walks from the nearest of the front, the back and the cursor, and leaves
// the cursor there.
inline frame_entry_t *entry_at(int64_t n) {
  if (n < 0 || n >= frame_count) return head_as_entry();
  frame_entry_t *e = queue_head->first;
  int64_t at = 0;
  if (frame_count - 1 - n < n) {
    e = queue_head->last;
    at = frame_count - 1;
  }
  int64_t dist = at > n ? at - n : n - at;
  if (cursor.entry != nullptr && (cursor.index > n ? cursor.index - n : n - cursor.index) < dist) {
    e = cursor.entry;
    at = cursor.index;
  }
  for (; at < n; ++at) e = e->next;
  for (; at > n; --at) e = e->prev;
  cursor = Cursor{n, e};
  return e;
}

}  // namespace orvik::frames

#endif
