// Frame store: the process-wide frame list, loading a PCAP stream into it
// and saving it as a PCAP file.
//
// This file and edit.cc are built without exceptions (see
// frames_internal.h): every call they make is a C library call, so nothing
// can throw across the extern "C" functions below.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frames.h"
#include "frames_internal.h"
#include "log.h"

frame_queue_t queue_head_mem;
frame_queue_t *queue_head = nullptr;
pcap_hdr_t pcap_header;

// ---------------------------------------------------------------------------
// Frame blocks.  Chunks of memory are mapped aligned to their unit, so a
// block finds its chunk by masking its address; a chunk counts its live
// blocks and goes back to the system when the last one does.  Space of a
// released block is not reused before its whole chunk is free: frames are
// loaded once and removed rarely.  Chunks ask for transparent huge pages,
// which turns the page faults of a large load from one per 4 KiB into one
// per 2 MiB.
namespace orvik::frames {
namespace {

constexpr size_t kChunkUnit = size_t{8} << 20;
// A block larger than this gets a chunk of its own rather than leaving
// much of the current chunk unused.
constexpr size_t kLargeBlock = kChunkUnit / 4;

struct Chunk {
  Chunk *next;  // every chunk, for release_all_blocks
  Chunk *prev;
  size_t size;  // mapped bytes, a multiple of kChunkUnit
  size_t used;  // bytes handed out, this header included
  size_t live;  // blocks handed out and not yet given back
};
constexpr size_t kChunkHeader = (sizeof(Chunk) + 63) & ~size_t{63};

Chunk *chunks = nullptr;   // all chunks
Chunk *current = nullptr;  // the chunk small blocks come from

size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

Chunk *chunk_of(const void *block) {
  return reinterpret_cast<Chunk *>(reinterpret_cast<uintptr_t>(block) & ~(kChunkUnit - 1));
}

Chunk *map_chunk(size_t size) {
  size_t span = size + kChunkUnit;  // room to align the start
  void *m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  uintptr_t base = reinterpret_cast<uintptr_t>(m);
  uintptr_t start = round_up(base, kChunkUnit);
  if (start > base) munmap(m, start - base);
  if (base + span > start + size) munmap(reinterpret_cast<void *>(start + size), base + span - start - size);
  madvise(reinterpret_cast<void *>(start), size, MADV_HUGEPAGE);
  auto *c = reinterpret_cast<Chunk *>(start);
  *c = Chunk{chunks, nullptr, size, kChunkHeader, 0};
  if (chunks != nullptr) chunks->prev = c;
  chunks = c;
  return c;
}

void unmap_chunk(Chunk *c) {
  if (c->prev != nullptr)
    c->prev->next = c->next;
  else
    chunks = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  if (c == current) current = nullptr;
  munmap(c, c->size);
}

// A chunk with room for need bytes.
Chunk *chunk_for(size_t need) {
  if (need > kLargeBlock) return map_chunk(round_up(kChunkHeader + need, kChunkUnit));
  if (current != nullptr && current->size - current->used >= need) return current;
  Chunk *c = map_chunk(kChunkUnit);
  if (c == nullptr) return nullptr;
  if (current != nullptr && current->live == 0) unmap_chunk(current);
  current = c;
  return c;
}

}  // namespace

frame_entry_t *new_block(int32_t payload_size) {
  if (payload_size < 0) return nullptr;
  size_t need = round_up(sizeof(FrameBlock) + static_cast<size_t>(payload_size), alignof(FrameBlock));
  Chunk *c = chunk_for(need);
  if (c == nullptr) return nullptr;
  auto *b = reinterpret_cast<FrameBlock *>(reinterpret_cast<uint8_t *>(c) + c->used);
  c->used += need;
  ++c->live;
  b->frame.header = &b->header;
  b->frame.payload_size = payload_size;
  b->frame.payload = b->payload;
  b->entry.frame = &b->frame;
  b->entry.next = nullptr;
  b->entry.prev = nullptr;
  return &b->entry;
}

void release_block(frame_entry_t *e) {
  Chunk *c = chunk_of(e);
  if (--c->live > 0) return;
  if (c == current)
    c->used = kChunkHeader;  // start the chunk over
  else
    unmap_chunk(c);
}

void release_all_blocks() {
  while (chunks != nullptr) unmap_chunk(chunks);
}

}  // namespace orvik::frames

namespace {

using orvik::frames::FrameBlock;
using orvik::frames::head_as_entry;

char err_msg[orvik::kErrMsgSize];

// Large reads keep a capture of a million small frames from costing a
// million trips through stdio; 1 MiB is well past the point of diminishing
// returns and small next to any capture worth the worry.
constexpr size_t kIoBufferSize = 1 << 20;

// Reader over the caller's stream.  A regular file is mapped and copied
// from straight into the frames: one copy of every byte instead of two (the
// kernel's into a buffer, then ours).  Anything else (a pipe, a file that
// cannot be mapped) goes through our own buffer in large reads; a payload
// larger than the buffer is read straight into its frame.  Either way the
// stream is left right after the last byte the load used.
class Reader {
 public:
  explicit Reader(FILE *stream) : stream_(stream) {
    if (!map_stream()) {
      buf_ = static_cast<uint8_t *>(malloc(kIoBufferSize));
      cap_ = buf_ != nullptr ? kIoBufferSize : 0;
    }
  }
  ~Reader() {
    if (map_ != nullptr) {
      munmap(map_, map_size_);
      fseeko(stream_, static_cast<off_t>(pos_), SEEK_SET);
    } else if (end_ > pos_) {
      fseeko(stream_, -static_cast<off_t>(end_ - pos_), SEEK_CUR);
    }
    free(buf_);
  }
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  bool ok() const { return map_ != nullptr || buf_ != nullptr; }

  // Copies up to n bytes into dst; fewer only at the end of the stream or
  // on a read error.  Returns the count copied.
  size_t read(void *dst, size_t n) {
    auto *out = static_cast<uint8_t *>(dst);
    size_t done = take(out, n);
    if (done == n || map_ != nullptr) return done;
    if (n - done >= cap_) return done + fread(out + done, 1, n - done, stream_);
    fill();
    return done + take(out + done, n - done);
  }

  bool at_eof() const { return map_ != nullptr ? pos_ == end_ : feof(stream_) != 0; }

 private:
  bool map_stream() {
    int fd = fileno(stream_);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    off_t at = ftello(stream_);  // counts what stdio has buffered already
    if (at < 0 || at >= st.st_size) return false;
    void *m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED) return false;
    madvise(m, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
    map_ = static_cast<uint8_t *>(m);
    map_size_ = static_cast<size_t>(st.st_size);
    pos_ = static_cast<size_t>(at);
    end_ = map_size_;
    return true;
  }
  size_t take(uint8_t *out, size_t n) {
    size_t k = end_ - pos_ < n ? end_ - pos_ : n;
    memcpy(out, data() + pos_, k);
    pos_ += k;
    if (map_ != nullptr && pos_ - dropped_ >= kMapDropStep) drop_consumed();
    return k;
  }
  // Mapped pages that were copied count as the process's memory until they
  // are unmapped; dropping them as the load goes keeps a large capture from
  // counting twice.  The file's pages stay in the page cache.
  void drop_consumed() {
    size_t upto = pos_ & ~(kMapDropStep - 1);
    madvise(map_ + dropped_, upto - dropped_, MADV_DONTNEED);
    dropped_ = upto;
  }
  const uint8_t *data() const { return map_ != nullptr ? map_ : buf_; }
  void fill() {
    pos_ = 0;
    end_ = fread(buf_, 1, cap_, stream_);
  }

  FILE *stream_;
  static constexpr size_t kMapDropStep = size_t{16} << 20;
  uint8_t *map_ = nullptr;  // the whole file when mapped; pos_/end_ index it
  size_t map_size_ = 0;
  size_t dropped_ = 0;  // mapped bytes before this were handed back
  uint8_t *buf_ = nullptr;
  size_t cap_ = 0;
  size_t pos_ = 0;
  size_t end_ = 0;
};

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

int read_global_header(Reader &in) {
  pcap_hdr_t h;
  if (in.read(&h, sizeof h) == sizeof h) {
    pcap_header = h;
    return 0;
  }
  if (in.at_eof()) orvik::log_msg(err_msg, 2, "Unexpected end of file (ret %i, exp %i)", 0, 1);
  orvik::log_msg(err_msg, 2, "error reading file");
  return 1;
}

// Appends the records that follow the global header.  A record with no
// captured bytes is kept as an empty frame: ending the load there would drop
// every later frame without a word.
int read_records(Reader &in) {
  for (;;) {
    pcaprec_hdr_t h;
    if (in.read(&h, sizeof h) != sizeof h) {
      orvik::log_msg(err_msg, 2, "eof");
      return 0;
    }
    report_record(h);
    // incl_len is a signed count: 2^31 and more cannot be held and is
    // refused like any allocation that fails.
    frame_entry_t *e = orvik::frames::new_block(static_cast<int32_t>(h.incl_len));
    if (e == nullptr) return 2;
    *e->frame->header = h;
    size_t size = static_cast<size_t>(e->frame->payload_size);
    if (in.read(e->frame->payload, size) != size) {
      orvik::frames::release_block(e);  // a record cut short at the end of the file
      return 0;
    }
    orvik::frames::append(e);
    if (verbose >= 1) orvik::log_msg(err_msg, 1, "Data: (%uB)", h.incl_len);
  }
}

// ---------------------------------------------------------------------------
// Saving.  The list goes to a temporary file beside the target, which
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

mode_t current_umask() {
  mode_t m = umask(0);
  umask(m);
  return m;
}

class Output {
 public:
  Output() = default;
  ~Output() {
    if (fd_ >= 0) close(fd_);
    if (temp_ != nullptr && !committed_) unlink(temp_);
    free(temp_);
    free(target_);
    free(buf_);
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // Opens the temporary file (or, for a device or pipe, the target itself,
  // which cannot be replaced by a rename).
  bool open(const char *path) {
    if (*path == '\0') return false;  // names no file
    target_ = resolve_target(path);
    if (target_ == nullptr) return false;
    struct stat st;
    bool exists = stat(target_, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      fd_ = ::open(target_, O_WRONLY | O_CLOEXEC);
    } else if (exists && access(target_, W_OK) != 0) {
      return false;  // a file we may not write is not replaced either
    } else if (!open_temp(exists ? &st : nullptr)) {
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

  // Flushes and closes; the temporary file then takes the target's place.
  bool commit() {
    flush();
    int rc = close(fd_);
    fd_ = -1;
    if (rc != 0) failed_ = true;
    if (failed_) return false;
    if (temp_ != nullptr && rename(temp_, target_) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  bool open_temp(const struct stat *existing) {
    const char *slash = strrchr(target_, '/');
    if (slash == nullptr)
      temp_ = format_path(".orvik-save-XXXXXX");
    else
      temp_ = format_path("%.*s/.orvik-save-XXXXXX", static_cast<int>(slash - target_), target_);
    if (temp_ == nullptr) return false;
    fd_ = mkostemp(temp_, O_CLOEXEC);
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
    if (fchmod(fd_, mode) != 0) failed_ = true;
    return true;
  }

  void flush() {
    if (used_ > 0 && !failed_) write_all(buf_, used_);
    used_ = 0;
  }

  void write_all(const void *data, size_t n) {
    auto *p = static_cast<const uint8_t *>(data);
    while (n > 0 && !failed_) {
      ssize_t k = ::write(fd_, p, n);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) {
        failed_ = true;
        break;
      }
      p += k;
      n -= static_cast<size_t>(k);
    }
  }

  char *target_ = nullptr;
  char *temp_ = nullptr;
  int fd_ = -1;
  uint8_t *buf_ = nullptr;
  size_t cap_ = 0;
  size_t used_ = 0;
  bool failed_ = false;
  bool committed_ = false;
};

void write_frames(Output &out) {
  out.write(&pcap_header, sizeof pcap_header);
  for (frame_entry_t *e = queue_head->first; e != head_as_entry(); e = e->next) {
    const frame_t *f = e->frame;
    if (f == nullptr) continue;
    // The header is written as held: incl_len is the record's own word.
    out.write(f->header, sizeof *f->header);
    if (f->payload_size > 0) out.write(f->payload, static_cast<size_t>(f->payload_size));
  }
}

}  // namespace

extern "C" {

int ovke_init(void) {
  ovke_free();
  queue_head_mem.first = reinterpret_cast<frame_entry_t *>(&queue_head_mem);
  queue_head_mem.last = reinterpret_cast<frame_entry_t *>(&queue_head_mem);
  queue_head = &queue_head_mem;
  return 0;
}

void ovke_free(void) {
  if (queue_head == nullptr) return;
  // Every block lives in a chunk: dropping the chunks releases the frames
  // without touching each one.
  queue_head->first = head_as_entry();
  queue_head->last = head_as_entry();
  orvik::frames::release_all_blocks();
}

frame_queue_t *ovke_get_frames(void) { return queue_head; }

int ovke_load_file(FILE **stream) {
  ORVIK_ASSERT_STORE_READY();
  if (stream == nullptr || *stream == nullptr) return 1;
  Reader in(*stream);
  if (!in.ok()) return 2;
  if (int rc = read_global_header(in); rc != 0) return rc;
  report_global_header(pcap_header);
  return read_records(in);
}

int ovke_save_file(const char *path) {
  ORVIK_ASSERT_STORE_READY();
  if (path == nullptr) return 1;
  Output out;
  if (!out.open(path)) {
    orvik::log_msg(err_msg, 2, "Error: cannot open output file `%s`", path);
    return 1;
  }
  write_frames(out);
  if (!out.commit()) {
    orvik::log_msg(err_msg, 2, "Error: cannot write output file `%s`", path);
    return 1;
  }
  return 0;
}

}  // extern "C"
