// Frame store: the process-wide frame list, loading a PCAP stream into it
// and saving it as a PCAP file.
//
// This file and edit.cc are built without exceptions (see
// frames_internal.h): every call they make is a C library call, so nothing
// can throw across the extern "C" functions below.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture.h"
#include "frames.h"
#include "frames_internal.h"
#include "log.h"

frame_queue_t queue_head_mem;
frame_queue_t *queue_head = nullptr;
pcap_hdr_t pcap_header;

// ---------------------------------------------------------------------------
// Frame blocks.  Chunks of memory are mapped as the list grows: the first
// is small, so that loading a capture of a few frames costs one small
// mapping, and each next one is twice as large up to kMaxChunk.  A chunk
// counts its live blocks and is dropped when the last one goes: it goes
// back to the system, or is kept as the spare of its kind (below).  Space
// of a released block is not reused before its whole chunk is free: frames
// are loaded once and removed rarely.
//
// A chunk of loaded frames holds their 64-byte blocks from its front and
// their records after them, the nth record for the nth block.  Copies come
// from chunks of their own, with payloads of any size and no records.
// Every chunk starts on a multiple of kMaxChunk and every block lies in its
// chunk's first kMaxChunk bytes (a larger chunk holds one block), so a
// block finds its chunk from its own address.
//
// Blocks come from an arena: the store's two, or the one of a load's
// second walker (capture.cc), which builds frames on another thread.  The
// list of all chunks is shared, so mapping and unmapping a chunk hold a
// lock; handing out a block touches the arena's own chunk only.
namespace orvik::frames {

int64_t frame_count = 0;
Cursor cursor = {0, nullptr};

struct Chunk {
  Chunk *next;  // every chunk, for release_all_blocks
  Chunk *prev;
  size_t size;   // mapped bytes
  size_t limit;  // where the blocks end (and the records begin)
  size_t used;   // bytes handed out, this header included
  size_t live;   // blocks handed out and not yet given back
  LoadedRecord *records;  // null in a chunk of copies
};

namespace {

constexpr size_t kMaxChunk = size_t{8} << 20;
constexpr size_t kPopulateFrom = size_t{1} << 20;
constexpr size_t kChunkHeader = (sizeof(Chunk) + 63) & ~size_t{63};
constexpr size_t kPage = 4096;

Chunk *chunks = nullptr;  // all chunks
pthread_mutex_t chunks_lock = PTHREAD_MUTEX_INITIALIZER;

size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// Chunks are filled front to back at once: their pages are faulted in by
// one call instead of one fault at a time.  A chunk of whole huge pages
// asks for huge pages: the first touch of every page of fresh memory costs
// a fault in the hypervisor's shadow page tables (some microseconds each,
// whether or not the kernel populated the page), so a 2 MiB page saves 511
// of them.  Without huge pages the chunk works the same, at 4 KiB a page.
constexpr size_t kHugePage = size_t{2} << 20;

// size bytes of fresh memory at a multiple of align (a power of two).
void *map_aligned(size_t size, size_t align) {
  size_t slack = align > kPage ? align : 0;
  void *m = mmap(nullptr, size + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return m;
  auto *raw = static_cast<uint8_t *>(m);
  auto *aligned = reinterpret_cast<uint8_t *>(round_up(reinterpret_cast<uintptr_t>(raw), align));
  if (aligned > raw) munmap(raw, static_cast<size_t>(aligned - raw));
  size_t tail = static_cast<size_t>(raw + size + slack - (aligned + size));
  if (tail > 0) munmap(aligned + size, tail);
  if (size % kHugePage == 0) madvise(aligned, size, MADV_HUGEPAGE);
  if (size >= kPopulateFrom) madvise(aligned, size, MADV_POPULATE_WRITE);
  return aligned;
}

void *map_anonymous(size_t size) {
  return map_aligned(size, size % kHugePage == 0 ? kHugePage : kPage);
}

Chunk *chunk_of(const frame_entry_t *e) {
  return reinterpret_cast<Chunk *>(reinterpret_cast<uintptr_t>(e) & ~(kMaxChunk - 1));
}

// An emptied chunk of the first size, one of each kind, kept for the next
// load instead of going back to the system: a chunk on a boundary of its
// own costs the hypervisor a fresh page table, which would outweigh all
// else in a store loaded with a few frames and emptied again and again.
// Taken and given back under chunks_lock.
Chunk *spare[2] = {nullptr, nullptr};

Chunk *map_chunk(size_t size, bool records) {
  Chunk *c = nullptr;
  if (size == kFirstChunk) {
    pthread_mutex_lock(&chunks_lock);
    c = spare[records];
    spare[records] = nullptr;
    pthread_mutex_unlock(&chunks_lock);
  }
  if (c == nullptr) {
    void *m = map_aligned(size, kMaxChunk);
    if (m == MAP_FAILED) return nullptr;
    c = static_cast<Chunk *>(m);
  }
  size_t limit = size;
  LoadedRecord *r = nullptr;
  if (records) {
    size_t slots = (size - kChunkHeader) / (sizeof(FrameBlock) + sizeof(LoadedRecord));
    limit = kChunkHeader + slots * sizeof(FrameBlock);
    r = reinterpret_cast<LoadedRecord *>(reinterpret_cast<uint8_t *>(c) + limit);
  }
  pthread_mutex_lock(&chunks_lock);
  *c = Chunk{chunks, nullptr, size, limit, kChunkHeader, 0, r};
  if (chunks != nullptr) chunks->prev = c;
  chunks = c;
  pthread_mutex_unlock(&chunks_lock);
  return c;
}

void drop_chunk(Arena &a, Chunk *c) {
  pthread_mutex_lock(&chunks_lock);
  if (c->prev != nullptr)
    c->prev->next = c->next;
  else
    chunks = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  Chunk *&kept = spare[c->records != nullptr];
  bool keep = c->size == kFirstChunk && kept == nullptr;
  if (keep) kept = c;
  pthread_mutex_unlock(&chunks_lock);
  if (c == a.current) a.current = nullptr;
  if (!keep) munmap(c, c->size);
}

// A chunk with room for need bytes.  A block larger than a quarter of the
// next chunk gets a chunk of its own rather than leaving much of the
// current one unused, and the chunks after it grow, so that further blocks
// of its size (copies of one frame, say) are packed together again.
Chunk *chunk_for(Arena &a, size_t need) {
  if (need > a.next_chunk / 4) {
    if (a.next_chunk < kMaxChunk) a.next_chunk *= 2;
    return map_chunk(round_up(kChunkHeader + need, kPage), a.records);
  }
  if (a.current != nullptr && a.current->limit - a.current->used >= need) return a.current;
  Chunk *c = map_chunk(a.next_chunk, a.records);
  if (c == nullptr) return nullptr;
  if (a.next_chunk < kMaxChunk) a.next_chunk *= 2;
  if (a.current != nullptr && a.current->live == 0) drop_chunk(a, a.current);
  a.current = c;
  return c;
}

frame_entry_t *new_block_in(Arena &a, int32_t own_bytes) {
  if (own_bytes < 0) return nullptr;
  size_t need = round_up(sizeof(FrameBlock) + static_cast<size_t>(own_bytes), alignof(FrameBlock));
  Chunk *c = chunk_for(a, need);
  if (c == nullptr) return nullptr;
  auto *b = reinterpret_cast<FrameBlock *>(reinterpret_cast<uint8_t *>(c) + c->used);
  c->used += need;
  ++c->live;
  b->frame.header = &b->header;
  b->frame.payload_size = own_bytes;
  b->frame.payload = b->payload;
  b->entry.frame = &b->frame;
  b->entry.next = nullptr;
  b->entry.prev = nullptr;
  return &b->entry;
}

// The store's arenas: loaded frames, and copies.
Arena load_arena;
Arena copy_arena{nullptr, kFirstChunk, false};

}  // namespace

frame_entry_t *new_block(int32_t own_bytes) { return new_block_in(copy_arena, own_bytes); }

frame_entry_t *new_loaded_block_in(Arena &a, const pcaprec_hdr_t &h, const uint8_t *origin) {
  frame_entry_t *e = new_block_in(a, 0);
  if (e == nullptr) return nullptr;
  *loaded_record(e) = LoadedRecord{h, origin};
  return e;
}

LoadedRecord *loaded_record(const frame_entry_t *e) {
  Chunk *c = chunk_of(e);
  if (c->records == nullptr) return nullptr;
  auto at = reinterpret_cast<uintptr_t>(e) - reinterpret_cast<uintptr_t>(c) - kChunkHeader;
  return c->records + at / sizeof(FrameBlock);
}

void release_block(frame_entry_t *e) {
  Chunk *c = chunk_of(e);
  if (--c->live > 0) return;
  if (c == load_arena.current || c == copy_arena.current)
    c->used = kChunkHeader;  // start the chunk over
  else
    drop_chunk(load_arena, c);
}

void release_all_blocks() {
  while (chunks != nullptr) drop_chunk(load_arena, chunks);
  load_arena = Arena{};
  copy_arena = Arena{nullptr, kFirstChunk, false};
  frame_count = 0;
  cursor.entry = nullptr;
}

}  // namespace orvik::frames

namespace {

using orvik::frames::FrameBlock;
using orvik::frames::LoadedRecord;
using orvik::frames::head_as_entry;
using orvik::frames::loaded_record;

char err_msg[orvik::kErrMsgSize];

// ---------------------------------------------------------------------------
// Sources: the inputs the frames point into.  A regular file is mapped
// whole, privately: a load copies nothing, callers may change payload bytes
// (the kernel copies the page they touch), and the file's pages stay in
// the page cache.  Anything else (a pipe) is read to its end into memory of
// our own.  Sources live until the store is emptied.
//
// While a file is mapped another program may cut it short; touching a page
// past its new end raises SIGBUS.  The store's handler turns that into a
// message and an exit status instead of a crash, and removes a save's
// temporary file, so the save's target stays as it was.

constexpr size_t kFirstReadBuffer = size_t{64} << 10;

// The caller's load progress (ovke_set_load_progress), and the load under
// way: the first byte of its input, the input's size and the frames the
// store held before it.  Reading a pipe reports every kReadReportBytes,
// walking the records every kWalkReportFrames.
struct LoadProgress {
  ovke_load_progress_t report;
  void *arg;
  const uint8_t *base;
  size_t size;
  int64_t frames_before;
};
LoadProgress load_progress = {nullptr, nullptr, nullptr, 0, 0};
constexpr size_t kReadReportBytes = size_t{16} << 20;
constexpr int64_t kWalkReportFrames = 1 << 16;

struct Source {
  Source *next;
  uint8_t *data;  // the whole file when mapped, else the bytes read
  size_t size;
  int fd;          // the mapped file, for copies and checks; -1 when read
  size_t held;     // bytes of an anonymous copy that replaced the mapping; 0 when mapped
  struct stat st;  // the mapped file as it was mapped
  char *message;   // what the bus-error handler writes
  size_t message_len;
};

Source *sources = nullptr;
// The temporary file of a save in progress, for the bus-error handler.
char *volatile pending_temp = nullptr;
struct sigaction previous_bus_action;
bool bus_handler_installed = false;

// The file name behind a descriptor, for messages; malloc()ed.
char *name_of(int fd) {
  if (fd >= 0) {
    char link[64], name[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, sizeof name - 1);
    if (n > 0) {
      name[n] = '\0';
      return strdup(name);
    }
  }
  return strdup("input");
}

// Frames of this source point into a mapping of its file (not into bytes
// read from a pipe, nor into a copy made before an edit).
bool file_backed(const Source *s) { return s->fd >= 0 && s->held == 0; }

void on_bus_error(int, siginfo_t *info, void *) {
  auto *addr = static_cast<uint8_t *>(info->si_addr);
  for (Source *s = sources; s != nullptr; s = s->next) {
    if (!file_backed(s) || addr < s->data || addr >= s->data + s->size) continue;
    if (pending_temp != nullptr) unlink(pending_temp);
    ssize_t rc = write(STDERR_FILENO, s->message, s->message_len);
    (void)rc;
    _exit(1);
  }
  // Not ours: the fault takes its course under the previous disposition,
  // and the next mapped load installs the handler again.
  sigaction(SIGBUS, &previous_bus_action, nullptr);
  bus_handler_installed = false;
}

void install_bus_handler() {
  if (bus_handler_installed) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_bus_error;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGBUS, &sa, &previous_bus_action) == 0) bus_handler_installed = true;
}

void free_source(Source *s) {
  if (s->fd >= 0) {
    munmap(s->data, s->held != 0 ? s->held : s->size);
    close(s->fd);
  } else {
    free(s->data);
  }
  free(s->message);
  free(s);
}

void release_sources() {
  while (sources != nullptr) {
    Source *s = sources;
    sources = s->next;
    free_source(s);
  }
}

bool map_source(Source *s, FILE *stream, size_t *start) {
  int fd = fileno(stream);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  off_t at = ftello(stream);  // counts what stdio has buffered already
  if (at < 0 || at >= st.st_size) return false;
  auto size = static_cast<size_t>(st.st_size);
  void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
  if (m == MAP_FAILED) return false;
  s->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (s->fd < 0) {
    munmap(m, size);
    return false;
  }
  s->data = static_cast<uint8_t *>(m);
  s->size = size;
  s->st = st;
  *start = static_cast<size_t>(at);
  return true;
}

// Reads the stream to its end.  False when memory is short.
bool read_source(Source *s, FILE *stream) {
  size_t cap = 0;
  for (;;) {
    if (s->size == cap) {
      size_t grown = cap == 0 ? kFirstReadBuffer : cap * 2;
      void *m = realloc(s->data, grown);
      if (m == nullptr) return false;
      s->data = static_cast<uint8_t *>(m);
      cap = grown;
    }
    size_t n = fread(s->data + s->size, 1, cap - s->size, stream);
    s->size += n;
    if (n == 0) return true;
    if (load_progress.report != nullptr &&
        s->size / kReadReportBytes != (s->size - n) / kReadReportBytes)
      load_progress.report(s->size, 0, 0, load_progress.arg);
  }
}

bool prepare_message(Source *s) {
  char *name = name_of(s->fd);
  if (name == nullptr) return false;
  int n = asprintf(&s->message,
                   "%s: capture `%s' was cut short or changed by another program while in use\n",
                   program_invocation_short_name, name);
  free(name);
  if (n < 0) {
    s->message = nullptr;
    return false;
  }
  s->message_len = static_cast<size_t>(n);
  return true;
}

// A new source for the stream, linked into the list; *start: where the
// stream stood in it.  Null when memory is short.
Source *open_source(FILE *stream, size_t *start) {
  auto *s = static_cast<Source *>(calloc(1, sizeof(Source)));
  if (s == nullptr) return nullptr;
  s->fd = -1;
  *start = 0;
  if (!map_source(s, stream, start) && !read_source(s, stream)) {
    free_source(s);
    return nullptr;
  }
  if (!prepare_message(s)) {
    free_source(s);
    return nullptr;
  }
  s->next = sources;
  sources = s;
  if (s->fd >= 0) install_bus_handler();
  return s;
}

// Drops the source of a load that kept none of its frames: nothing points
// into it, and a later save must not depend on the file staying as it is.
void discard_newest_source() {
  Source *s = sources;
  sources = s->next;
  free_source(s);
}

const Source *source_of(const uint8_t *p) {
  for (const Source *s = sources; s != nullptr; s = s->next)
    if (p >= s->data && p < s->data + s->size) return s;
  return nullptr;
}

}  // namespace


namespace {

// The file a source maps is the one it was: same length, same time of
// last change.
bool unchanged(const Source *s) {
  struct stat now;
  if (s->fd < 0) return true;
  return fstat(s->fd, &now) == 0 && now.st_size == s->st.st_size &&
         now.st_mtim.tv_sec == s->st.st_mtim.tv_sec && now.st_mtim.tv_nsec == s->st.st_mtim.tv_nsec;
}

// report: log which one changed.
bool all_sources_unchanged(bool report = true) {
  for (const Source *s = sources; s != nullptr; s = s->next) {
    if (unchanged(s)) continue;
    if (report) orvik::log_msg(err_msg, 2, "%s", s->message);
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Load hooks of the capture parsers.
namespace orvik::frames {

namespace {

frame_entry_t *loaded_frame(Arena &a, const pcaprec_hdr_t &h, const uint8_t *payload,
                            const uint8_t *origin) {
  frame_entry_t *e = new_loaded_block_in(a, h, origin);
  if (e == nullptr) return nullptr;
  FrameBlock *b = block_of(e);
  b->header = h;
  b->frame.payload_size = static_cast<int32_t>(h.incl_len);
  b->frame.payload = const_cast<uint8_t *>(payload);
  return e;
}

}  // namespace

bool add_to_run(FrameRun &run, Arena &a, const pcaprec_hdr_t &h, const uint8_t *payload,
                const uint8_t *origin) {
  frame_entry_t *e = loaded_frame(a, h, payload, origin);
  if (e == nullptr) return false;
  e->prev = run.last;
  if (run.last != nullptr)
    run.last->next = e;
  else
    run.first = e;
  run.last = e;
  ++run.count;
  return true;
}

void append_run(FrameRun &run) {
  if (run.first == nullptr) return;
  frame_entry_t *last = queue_head->last;
  run.first->prev = last;
  if (last == head_as_entry())
    queue_head->first = run.first;
  else
    last->next = run.first;
  run.last->next = head_as_entry();
  queue_head->last = run.last;
  frame_count += run.count;
  run = FrameRun{};
}

void release_run(FrameRun &run) {
  for (frame_entry_t *e = run.first; e != nullptr;) {
    frame_entry_t *next = e == run.last ? nullptr : e->next;
    release_block(e);
    e = next;
  }
  run = FrameRun{};
}

bool load_reports_wanted() { return verbose >= 0 || load_progress.report != nullptr; }

bool append_frame(const pcaprec_hdr_t &h, const uint8_t *payload, const uint8_t *origin) {
  frame_entry_t *e = loaded_frame(load_arena, h, payload, origin);
  if (e == nullptr) return false;
  append(e);
  const LoadProgress &p = load_progress;
  if (p.report != nullptr && (frame_count - p.frames_before) % kWalkReportFrames == 0)
    p.report(static_cast<uint64_t>(payload - p.base), p.size,
             static_cast<uint64_t>(frame_count - p.frames_before), p.arg);
  return true;
}

void report_global_header(const pcap_hdr_t &h) {
  orvik::log_msg(err_msg, 0, "Magic: %Xh", h.magic_number);
  orvik::log_msg(err_msg, 0, "Version: %i. %i", h.version_major, h.version_minor);
  orvik::log_msg(err_msg, 0, "GMT to local correction: %i", h.thiszone);
  orvik::log_msg(err_msg, 0, "Accuracy of timestamps: %Xh", h.sigfigs);
  orvik::log_msg(err_msg, 0, "Max length of each pkt: %uB", h.snaplen);
  orvik::log_msg(err_msg, 0, "Data lint type: %Xh", h.network);
  orvik::log_msg(err_msg, 0, "-----------------------------------");
}

// Per-record reports sit in the hot path of a large load: the level is
// tested before any formatting starts.
void report_record(const pcaprec_hdr_t &h) {
  if (verbose < 0) return;
  orvik::log_msg(err_msg, 0, "Timestamp: %i.%09i", h.ts_sec, h.ts_usec);
  orvik::log_msg(err_msg, 1, "Length of portion: %u", h.incl_len);
  orvik::log_msg(err_msg, 1, "Length of packet: %u", h.orig_len);
}

void report_frame_data(const pcaprec_hdr_t &h) {
  if (verbose >= 1) orvik::log_msg(err_msg, 1, "Data: (%uB)", h.incl_len);
}

void report_end_of_records() { orvik::log_msg(err_msg, 2, "eof"); }

}  // namespace orvik::frames

namespace {

using orvik::frames::block_of;

// Drops the frames appended after last (the list's last entry before a
// load that is refused as a whole).
void drop_frames_after(frame_entry_t *last) {
  while (queue_head->last != last) orvik::frames::release_entry(queue_head->last);
}

void report_refusal(int rc, const Source *s) {
  if (!orvik::log_enabled(2)) return;
  char *name = name_of(s->fd);
  if (name == nullptr) return;
  if (rc == orvik::frames::kUnknownFormat)
    orvik::log_msg(err_msg, 2, "`%s' is neither a PCAP nor a pcapng capture", name);
  else if (rc == orvik::frames::kMixedLinkTypes)
    orvik::log_msg(err_msg, 2, "`%s' holds interfaces of different link types", name);
  free(name);
}

// ---------------------------------------------------------------------------
// Saving.  Frames still as loaded are written in runs straight from their
// input: a run of a mapped file goes by copy_file_range where its pages
// were not changed in memory, so the kernel copies (or shares) the file's
// blocks without the bytes ever passing through this process.  Everything
// else goes through a buffer in large writes.  The list goes to a temporary file beside the target, which
// replaces the target only after every byte reached the file system: a full
// disk or a failing device never leaves a half-written capture where a good
// one was, and the target may be the very file the list was loaded from.

// Heap copy of a formatted text; null when memory is short.
__attribute__((format(printf, 1, 2))) char *format_path(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char *s = nullptr;
  if (vasprintf(&s, fmt, ap) < 0) s = nullptr;
  va_end(ap);
  return s;
}

// The file that a save really replaces: a symbolic link is followed, so the
// link stays and its target gets the new contents.  Malloc()ed.
char *resolve_target(const char *path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char *real = realpath(path, nullptr);
    if (real != nullptr) return real;
  }
  return strdup(path);
}

// The file a save to path replaces, named from the root.  Malloc()ed.
char *absolute_target(const char *path) {
  char *target = resolve_target(path);
  if (target == nullptr || *target == '/') return target;
  char *cwd = getcwd(nullptr, 0);
  char *absolute = cwd != nullptr ? format_path("%s/%s", cwd, target) : nullptr;
  free(cwd);
  free(target);
  return absolute;
}

mode_t current_umask() {
  mode_t m = umask(0);
  umask(m);
  return m;
}

// Buffered writes keep a capture of a million small frames from costing a
// million system calls; runs of unchanged frames bypass the buffer, so it
// need not be large (and a small one keeps saving a tiny capture cheap).
constexpr size_t kIoBufferSize = size_t{64} << 10;
using orvik::frames::kWritePiece;

class Output {
 public:
  Output() = default;
  ~Output() { close_and_remove(); }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // Closes the output; a temporary file not committed is removed.  The
  // object can be opened again.
  void close_and_remove() {
    int saved = errno;
    if (fd_ >= 0) close(fd_);
    if (temp_ != nullptr && pending_temp == temp_) pending_temp = nullptr;
    if (temp_ != nullptr && !committed_ && !unnamed_) unlink(temp_);
    free(temp_);
    free(target_);
    free(buf_);
    target_ = temp_ = nullptr;
    buf_ = nullptr;
    fd_ = -1;
    errno_ = 0;
    copyable_ = true;
    cap_ = used_ = 0;
    failed_ = committed_ = unnamed_ = false;
    errno = saved;
  }

  // Opens the temporary file (or, for a device or pipe, the target itself,
  // which cannot be replaced by a rename; not when only a file that
  // replaces the target will do).
  bool open(const char *path, bool replacement_only = false) {
    if (*path == '\0') {  // names no file
      errno = ENOENT;
      return false;
    }
    // A file that waits for its save names its target from the root: the
    // caller may change directory meanwhile.
    target_ = replacement_only ? absolute_target(path) : resolve_target(path);
    if (target_ == nullptr) return false;
    struct stat st;
    bool exists = stat(target_, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      if (replacement_only) return false;
      fd_ = ::open(target_, O_WRONLY | O_CLOEXEC);
    } else if (exists && access(target_, W_OK) != 0) {
      return false;  // a file we may not write is not replaced either (errno says why)
    } else if (!open_temp(exists ? &st : nullptr, replacement_only)) {
      return false;
    }
    if (fd_ < 0) return false;
    buf_ = static_cast<uint8_t *>(malloc(kIoBufferSize));
    cap_ = buf_ != nullptr ? kIoBufferSize : 0;  // without a buffer: unbuffered
    return true;
  }

  void write(const void *data, size_t n) {
    if (failed_) return;
    if (used_ + n > cap_) flush();
    if (n >= cap_) {
      write_all(data, n);
    } else {
      memcpy(buf_ + used_, data, n);
      used_ += n;
    }
  }

  // Copies n bytes of the file in_fd from offset at, through the kernel.
  // False when this pair of files cannot be copied that way (the caller
  // writes the bytes instead); a failure of the copy itself marks the
  // output failed and answers true.
  bool copy_from(int in_fd, off_t at, size_t n) {
    if (failed_ || !copyable_) return failed_;
    flush();
    while (n > 0 && !failed_) {
      ssize_t k = copy_file_range(in_fd, &at, fd_, nullptr, n, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                    errno == EBADF || errno == ETXTBSY)) {
        copyable_ = false;
        return false;
      }
      if (k == 0) errno = ESTALE;  // the input ended early: it was cut short
      if (k <= 0) fail();
      else n -= static_cast<size_t>(k);
    }
    return true;
  }

  // Links an unnamed temporary file in under a free temporary name (a
  // named one has its name already), before a commit; false when that
  // cannot be done.
  bool name_temp() {
    if (!unnamed_) return true;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    size_t len = strlen(temp_);
    for (int attempt = 0; attempt < 100; ++attempt) {
      uint8_t pick[6];
      if (getrandom(pick, sizeof pick, 0) != sizeof pick) return false;
      for (size_t i = 0; i < sizeof pick; ++i) temp_[len - 6 + i] = kLetters[pick[i] % 62];
      if (linkat(AT_FDCWD, proc, AT_FDCWD, temp_, AT_SYMLINK_FOLLOW) == 0) {
        unnamed_ = false;
        pending_temp = temp_;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool failed() const { return failed_; }
  int fd() const { return fd_; }
  const char *target() const { return target_; }
  void fail_with(int err) {
    errno = err;
    fail();
  }

  // Flushes and closes; the temporary file then takes the target's place.
  bool commit() {
    flush();
    int rc = close(fd_);
    fd_ = -1;
    if (rc != 0) fail();
    if (failed_) {
      errno = errno_;
      return false;
    }
    if (temp_ != nullptr && rename(temp_, target_) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  // The temporary file beside the target.  One that may live long (while
  // a load fills it) is made without a name where the file system allows,
  // so that a program killed meanwhile leaves nothing behind; it gets its
  // name at the commit.
  bool open_temp(const struct stat *existing, bool long_lived) {
    const char *slash = strrchr(target_, '/');
    if (slash == nullptr)
      temp_ = format_path(".orvik-save-XXXXXX");
    else
      temp_ = format_path("%.*s/.orvik-save-XXXXXX", static_cast<int>(slash - target_), target_);
    if (temp_ == nullptr) return false;
    if (long_lived) {
      char *dir = slash == nullptr ? strdup(".")
                                   : format_path("%.*s", static_cast<int>(slash - target_), target_);
      if (dir != nullptr)
        fd_ = ::open(*dir != '\0' ? dir : "/", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
      free(dir);
      unnamed_ = fd_ >= 0;
    }
    if (fd_ < 0) fd_ = mkostemp(temp_, O_CLOEXEC);
    if (fd_ >= 0 && !unnamed_) pending_temp = temp_;
    if (fd_ < 0) {
      free(temp_);  // nothing was created: nothing to remove
      temp_ = nullptr;
      return false;
    }
    // mkstemp creates 0600; a save behaves like creating the file anew, or
    // keeps the mode and (where allowed) the owner of the file it replaces.
    mode_t mode = existing != nullptr ? existing->st_mode & 07777 : 0666 & ~current_umask();
    if (existing != nullptr && fchown(fd_, existing->st_uid, existing->st_gid) != 0) {
      // Not the owner's to give away: the file becomes ours, like a new one.
    }
    if (fchmod(fd_, mode) != 0) fail();
    return true;
  }

  void flush() {
    if (used_ > 0 && !failed_) write_all(buf_, used_);
    used_ = 0;
  }

  void write_all(const void *data, size_t n) {
    auto *p = static_cast<const uint8_t *>(data);
    while (n > 0 && !failed_) {
      // Large runs go in pieces (see write_at).
      ssize_t k = ::write(fd_, p, n < kWritePiece ? n : kWritePiece);
      if (k < 0 && errno == EINTR) continue;
      if (k == 0) errno = ENOSPC;
      if (k <= 0) {
        fail();
        break;
      }
      p += k;
      n -= static_cast<size_t>(k);
    }
  }

  // Keeps the first failure's reason for the caller.
  void fail() {
    if (!failed_) errno_ = errno;
    failed_ = true;
  }

  char *target_ = nullptr;
  char *temp_ = nullptr;
  int errno_ = 0;
  bool copyable_ = true;
  int fd_ = -1;
  uint8_t *buf_ = nullptr;
  size_t cap_ = 0;
  size_t used_ = 0;
  bool failed_ = false;
  bool committed_ = false;
  bool unnamed_ = false;  // the temporary file has no name yet
};

// Which pages of a private file mapping this process has changed: a
// changed page is an anonymous copy, an unchanged one is the file's page
// or not present at all.  Read from /proc/self/pagemap; without it every
// page counts as changed, and the bytes are written from memory.
class PageMap {
 public:
  PageMap() = default;
  ~PageMap() {
    if (fd_ >= 0) close(fd_);
  }
  PageMap(const PageMap &) = delete;
  PageMap &operator=(const PageMap &) = delete;

  // The end of the stretch from p (before end) whose pages are all changed
  // or all unchanged, and which of the two.
  const uint8_t *stretch(const uint8_t *p, const uint8_t *end, bool *changed) {
    *changed = page_changed(page(p));
    uintptr_t pg = page(p) + 1;
    while (pg * kPage < reinterpret_cast<uintptr_t>(end) && page_changed(pg) == *changed) ++pg;
    auto *stop = reinterpret_cast<const uint8_t *>(pg * kPage);
    return stop < end ? stop : end;
  }

 private:
  static constexpr uintptr_t kPage = 4096;
  static constexpr size_t kBatch = 4096;  // entries read at once
  static uintptr_t page(const uint8_t *p) { return reinterpret_cast<uintptr_t>(p) / kPage; }

  bool page_changed(uintptr_t pg) {
    if (fd_ == kNotOpened) fd_ = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return true;
    if (pg < first_ || pg >= first_ + count_) {
      ssize_t n = pread(fd_, entries_, sizeof entries_, static_cast<off_t>(pg * sizeof(uint64_t)));
      if (n < static_cast<ssize_t>(sizeof(uint64_t))) return true;
      first_ = pg;
      count_ = static_cast<size_t>(n) / sizeof(uint64_t);
    }
    uint64_t e = entries_[pg - first_];
    bool present = (e >> 63) & 1, swapped = (e >> 62) & 1, file_page = (e >> 61) & 1;
    return swapped || (present && !file_page);
  }

  static constexpr int kNotOpened = -2;
  int fd_ = kNotOpened;
  uintptr_t first_ = 0;
  size_t count_ = 0;
  uint64_t entries_[kBatch];
};

// Replaces the mapping of s by a copy in anonymous memory of huge pages:
// the file's bytes are read in (the pages this process changed come from
// the mapping) and every frame that points into the mapping is moved to
// the same place in the copy.  Writing into a private file mapping costs a
// copy-on-write fault and a shadow page-table fault per 4 KiB page; the
// copy costs one read and a fault per 2 MiB.  The file stays open, so a
// save still notices another program changing it.  False (nothing
// changed) when memory is short or the file no longer holds the bytes.
using orvik::frames::kHugePage;
using orvik::frames::map_anonymous;
using orvik::frames::round_up;

// The source's bytes are now the memory at own (held bytes): the mapping goes.
void adopt_memory(Source *s, uint8_t *own, size_t held) {
  munmap(s->data, s->size);
  s->data = own;
  s->held = held;
}

bool copy_into_memory(Source *s) {
  size_t held = round_up(s->size, kHugePage);
  void *m = map_anonymous(held);
  if (m == MAP_FAILED) return false;
  auto *copy = static_cast<uint8_t *>(m);
  if (orvik::frames::read_at(s->fd, copy, s->size, 0) < s->size) {
    munmap(copy, held);
    return false;
  }
  PageMap pages;
  const uint8_t *end = s->data + s->size;
  for (const uint8_t *p = s->data; p < end;) {
    bool changed;
    const uint8_t *stop = pages.stretch(p, end, &changed);
    if (changed) memcpy(copy + (p - s->data), p, static_cast<size_t>(stop - p));
    p = stop;
  }
  auto moved = [s, copy](const uint8_t *p) { return copy + (p - s->data); };
  auto inside = [s, end](const uint8_t *p) { return p != nullptr && p >= s->data && p <= end; };
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next) {
    if (e->frame != nullptr && inside(e->frame->payload))
      e->frame->payload = const_cast<uint8_t *>(moved(e->frame->payload));
    LoadedRecord *r = loaded_record(e);
    if (r != nullptr && inside(r->origin)) r->origin = moved(r->origin);
  }
  adopt_memory(s, copy, held);
  return true;
}

// Runs shorter than this are written from memory: a system call per frame
// would cost more than the copy.
constexpr size_t kCopyRunMin = size_t{256} << 10;

void write_run(Output &out, PageMap &pages, const uint8_t *begin, const uint8_t *end) {
  const Source *s = source_of(begin);
  if (s == nullptr || !file_backed(s) || static_cast<size_t>(end - begin) < kCopyRunMin) {
    out.write(begin, static_cast<size_t>(end - begin));
    return;
  }
  for (const uint8_t *p = begin; p < end && !out.failed();) {
    bool changed;
    const uint8_t *stop = pages.stretch(p, end, &changed);
    auto n = static_cast<size_t>(stop - p);
    if (changed || !out.copy_from(s->fd, static_cast<off_t>(p - s->data), n)) out.write(p, n);
    p = stop;
  }
}

// Payloads of frames saved one by one (a pcapng's, a swapped file's, or
// frames between edits) that lie unchanged in a mapped file are read from
// the file in large sequential reads rather than through the mapping:
// faulting in every page of a fresh mapping costs more than the copy.
class PayloadReader {
 public:
  PayloadReader() = default;
  ~PayloadReader() { free(buf_); }
  PayloadReader(const PayloadReader &) = delete;
  PayloadReader &operator=(const PayloadReader &) = delete;

  // Writes the n bytes at p to out from the file; false when they must
  // come from memory instead (no file, pages changed, read short).
  bool write(Output &out, PageMap &pages, const uint8_t *p, size_t n) {
    if (n == 0 || n > kWindow) return false;
    if (src_ == nullptr || p < src_->data || p >= src_->data + src_->size) {
      src_ = source_of(p);
      len_ = 0;
    }
    if (src_ == nullptr || !file_backed(src_) || n > src_->size - static_cast<size_t>(p - src_->data))
      return false;
    bool changed;
    if (pages.stretch(p, p + n, &changed) != p + n || changed) return false;
    auto at = static_cast<size_t>(p - src_->data);
    if ((at < off_ || at + n > off_ + len_) && !fill(at, n)) return false;
    out.write(buf_ + (at - off_), n);
    return true;
  }

 private:
  static constexpr size_t kWindow = size_t{1} << 20;

  bool fill(size_t at, size_t n) {
    if (buf_ == nullptr && (buf_ = static_cast<uint8_t *>(malloc(kWindow))) == nullptr) return false;
    size_t want = src_->size - at < kWindow ? src_->size - at : kWindow;
    off_ = at;
    len_ = orvik::frames::read_at(src_->fd, buf_, want, static_cast<off_t>(at));
    return len_ >= n;
  }

  const Source *src_ = nullptr;
  uint8_t *buf_ = nullptr;
  size_t off_ = 0;  // file offset of buf_[0]
  size_t len_ = 0;
};

void drop_load_copy();

}  // namespace

namespace orvik::frames {

size_t read_at(int fd, uint8_t *buf, size_t n, off_t off) {
  size_t got = 0;
  while (got < n) {
    ssize_t k = pread(fd, buf + got, n - got, off + static_cast<off_t>(got));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  return got;
}

bool write_at(int fd, const uint8_t *buf, size_t n, off_t off) {
  while (n > 0) {
    ssize_t k = pwrite(fd, buf, n < kWritePiece ? n : kWritePiece, off);
    if (k < 0 && errno == EINTR) continue;
    if (k == 0) errno = ENOSPC;
    if (k <= 0) return false;
    buf += k;
    n -= static_cast<size_t>(k);
    off += k;
  }
  return true;
}

// An edit about to write into many frames: every mapped input is copied
// into memory of its own (see copy_into_memory); where that fails, its
// pages are made private copies in one call rather than one fault a page.
void prepare_to_write_payloads() {
  drop_load_copy();  // payloads about to change: the load's copy is no save
  for (Source *s = sources; s != nullptr; s = s->next)
    if (file_backed(s) && !copy_into_memory(s)) madvise(s->data, s->size, MADV_POPULATE_WRITE);
}

}  // namespace orvik::frames

namespace {

// A frame whose record lies in the input exactly as it is held now.
const uint8_t *in_place(const frame_entry_t *e) {
  const FrameBlock *b = block_of(e);
  const frame_t *f = e->frame;
  if (f != &b->frame || f->header != &b->header) return nullptr;
  const LoadedRecord *r = loaded_record(e);
  if (r == nullptr || r->origin == nullptr) return nullptr;
  if (f->payload != r->origin + sizeof(pcaprec_hdr_t)) return nullptr;
  if (f->payload_size != static_cast<int32_t>(r->header.incl_len)) return nullptr;
  if (memcmp(&b->header, &r->header, sizeof b->header) != 0) return nullptr;
  return r->origin;
}

void write_frames(Output &out) {
  out.write(&pcap_header, sizeof pcap_header);
  PageMap pages;
  PayloadReader payloads;
  const uint8_t *run = nullptr, *run_end = nullptr;
  for (frame_entry_t *e = queue_head->first; e != head_as_entry() && !out.failed(); e = e->next) {
    const frame_t *f = e->frame;
    if (f == nullptr) continue;
    if (const uint8_t *rec = in_place(e)) {
      const uint8_t *rec_end = rec + sizeof(pcaprec_hdr_t) + f->payload_size;
      if (rec != run_end) {
        if (run != nullptr) write_run(out, pages, run, run_end);
        run = rec;
      }
      run_end = rec_end;
      continue;
    }
    if (run != nullptr) write_run(out, pages, run, run_end);
    run = run_end = nullptr;
    // The header is written as held: incl_len is the record's own word.
    out.write(f->header, sizeof *f->header);
    auto n = static_cast<size_t>(f->payload_size > 0 ? f->payload_size : 0);
    if (n > 0 && !payloads.write(out, pages, f->payload, n)) out.write(f->payload, n);
  }
  if (run != nullptr) write_run(out, pages, run, run_end);
}

// A save planned before the load (ovke_plan_next_load).  The load
// copies the capture into the save's temporary file while it reads it, so
// a save of the frames just as they were loaded only renames that file,
// and the capture is not read a second time.  Anything else the caller
// does to the list, its global header or its payloads makes the copy
// useless: the save then writes the frames as usual.
char *planned_path = nullptr;  // for the next load
bool planned_payloads = false;
struct LoadCopy {
  Output out;
  const Source *source = nullptr;
  const uint8_t *first = nullptr;  // the first record's bytes and the end of the last
  const uint8_t *end = nullptr;
  pcap_hdr_t global{};
};
LoadCopy load_copy;

// The source is a file that holds a classic capture in this machine's byte
// order from start on: the one kind a load can copy as it lies.
bool host_order_classic(const Source *s, size_t start) {
  uint8_t magic[4];
  if (s->fd < 0 || orvik::frames::read_at(s->fd, magic, sizeof magic, static_cast<off_t>(start)) < sizeof magic)
    return false;
  uint32_t m;
  memcpy(&m, magic, sizeof m);
  return m == orvik::frames::kMicrosecondMagic || m == orvik::frames::kNanosecondMagic;
}

void drop_load_copy() {
  load_copy.out.close_and_remove();
  load_copy.source = nullptr;
}

// The load's copy holds exactly what a save of the list would write: the
// same global header, and every frame in place, in the order and at the
// place the load found it, from the first record to the last, with no
// page of it changed in memory.
bool load_copy_is_the_save() {
  const LoadCopy &c = load_copy;
  if (memcmp(&pcap_header, &c.global, sizeof c.global) != 0) return false;
  if (!all_sources_unchanged(false)) return false;  // the save says why
  const uint8_t *expected = c.first;
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next) {
    const uint8_t *rec = e->frame != nullptr ? in_place(e) : nullptr;
    if (rec != expected) return false;
    expected = rec + sizeof(pcaprec_hdr_t) + e->frame->payload_size;
  }
  if (expected != c.end) return false;
  PageMap pages;
  bool changed = false;
  for (const uint8_t *p = c.source->data; p < c.end && !changed;) p = pages.stretch(p, c.end, &changed);
  return !changed;
}

// Puts the written file in path's place: the save's result.
int commit_save(Output &out, const char *path) {
  if (out.commit()) return OVKE_OK;
  int err = errno;
  orvik::log_msg(err_msg, 2, "Error: cannot write output file `%s`", path);
  errno = err;
  return OVKE_SAVE_FAILED;
}

}  // namespace

extern "C" {

int ovke_init(void) {
  ovke_free();
  queue_head_mem.first = reinterpret_cast<frame_entry_t *>(&queue_head_mem);
  queue_head_mem.last = reinterpret_cast<frame_entry_t *>(&queue_head_mem);
  queue_head = &queue_head_mem;
  return OVKE_OK;
}

void ovke_free(void) {
  drop_load_copy();
  if (queue_head == nullptr) return;
  // Every block lives in a chunk: dropping the chunks releases the frames
  // without touching each one.
  queue_head->first = head_as_entry();
  queue_head->last = head_as_entry();
  orvik::frames::release_all_blocks();
  release_sources();
}

frame_queue_t *ovke_get_frames(void) { return queue_head; }

int ovke_load_file(FILE **stream) {
  ORVIK_ASSERT_STORE_READY();
  // The plan is this load's, whatever becomes of it.
  struct OwnedPath {
    char *text;
    ~OwnedPath() { free(text); }
  } save{planned_path};
  const char *save_path = save.text;
  bool payloads = planned_payloads;
  planned_path = nullptr;
  planned_payloads = false;
  if (stream == nullptr || *stream == nullptr) return OVKE_LOAD_NO_HEADER;
  size_t start = 0;
  Source *s = open_source(*stream, &start);
  if (s == nullptr) return orvik::frames::kNoMemory;
  frame_entry_t *last = queue_head->last;
  pcap_hdr_t header = pcap_header;
  size_t used = 0;
  LoadProgress &progress = load_progress;
  progress.size = s->size;
  progress.frames_before = orvik::frames::frame_count;
  // Planned payload work gets the file's bytes in memory of our own; a
  // planned save the copy of a file (not of a pipe) in a file that can
  // take the target's place.
  drop_load_copy();
  uint8_t *own = nullptr;
  size_t held = orvik::frames::round_up(s->size, orvik::frames::kHugePage);
  if (payloads && s->fd >= 0) {
    void *m = orvik::frames::map_anonymous(held);
    if (m != MAP_FAILED) own = static_cast<uint8_t *>(m);
  }
  orvik::frames::CopyTarget copy{-1, false, false};
  if (own == nullptr && save_path != nullptr && host_order_classic(s, start)) {
    int saved = errno;  // a copy that cannot be made is no failure of the load
    if (load_copy.out.open(save_path, true)) {
      copy.fd = load_copy.out.fd();
    }
    errno = saved;
  }
  const uint8_t *data = own != nullptr ? own : s->data;
  progress.base = data;
  int rc = orvik::frames::parse_capture(data + start, s->size - start, s->fd,
                                        static_cast<off_t>(start), &header, &used,
                                        copy.fd >= 0 ? &copy : nullptr, own != nullptr);
  if (own != nullptr) adopt_memory(s, own, held);  // the frames point into it
  if (copy.fd >= 0) {
    if (rc == orvik::frames::kLoaded && copy.complete && !copy.failed &&
        ftruncate(copy.fd, static_cast<off_t>(used)) == 0) {
      load_copy.source = s;
      load_copy.first = s->data + start + sizeof(pcap_hdr_t);
      load_copy.end = s->data + start + used;
      load_copy.global = header;
    } else {
      drop_load_copy();
    }
  }
  if (s->fd >= 0) fseeko(*stream, static_cast<off_t>(start + used), SEEK_SET);
  switch (rc) {
    case orvik::frames::kLoaded:
    case orvik::frames::kNoMemory:  // the frames before it stay, with their header
      pcap_header = header;
      break;
    case orvik::frames::kNoHeader:
      orvik::log_msg(err_msg, 2, "Unexpected end of file (ret %i, exp %i)", 0, 1);
      orvik::log_msg(err_msg, 2, "error reading file");
      break;
    case orvik::frames::kUnknownFormat:
    case orvik::frames::kMixedLinkTypes:
      drop_frames_after(last);
      report_refusal(rc, s);
      break;
    default:
      break;
  }
  if (progress.report != nullptr)
    progress.report(start + used, s->size,
                    static_cast<uint64_t>(orvik::frames::frame_count - progress.frames_before),
                    progress.arg);
  if (rc == orvik::frames::kNoHeader || rc == orvik::frames::kUnknownFormat ||
      rc == orvik::frames::kMixedLinkTypes)
    discard_newest_source();
  return rc;
}

void ovke_plan_next_load(unsigned plan, const char *save_path) {
  free(planned_path);
  planned_path = (plan & OVKE_PLAN_SAVE) != 0 && save_path != nullptr ? strdup(save_path) : nullptr;
  planned_payloads = (plan & OVKE_PLAN_PAYLOADS) != 0;
}

void ovke_set_load_progress(ovke_load_progress_t progress, void *arg) {
  load_progress.report = progress;
  load_progress.arg = arg;
}

int ovke_save_file(const char *path) {
  ORVIK_ASSERT_STORE_READY();
  if (path == nullptr) {
    errno = EINVAL;
    return OVKE_SAVE_FAILED;
  }
  if (load_copy.source != nullptr) {
    char *target = absolute_target(path);
    bool same = target != nullptr && strcmp(target, load_copy.out.target()) == 0 &&
                load_copy_is_the_save();
    free(target);
    if (same && load_copy.out.name_temp()) {
      int rc = commit_save(load_copy.out, path);
      drop_load_copy();  // keeps errno
      return rc;
    }
    drop_load_copy();
  }
  Output out;
  if (!out.open(path)) {
    int err = errno;
    orvik::log_msg(err_msg, 2, "Error: cannot open output file `%s`", path);
    errno = err;
    return OVKE_SAVE_FAILED;
  }
  // An input another program changed since the load no longer holds the
  // frames that point into it; checked again once everything is written.
  if (!all_sources_unchanged()) out.fail_with(ESTALE);
  write_frames(out);
  if (!out.failed() && !all_sources_unchanged()) out.fail_with(ESTALE);
  return commit_save(out, path);
}

}  // extern "C"
