// Capture formats: detection by the first four bytes, the classic PCAP
// parser for both byte orders and the pcapng parser.
#include "capture.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "frames_internal.h"

namespace orvik::frames {
namespace {

constexpr uint32_t kSwappedMicrosecondMagic = 0xd4c3b2a1;
constexpr uint32_t kSwappedNanosecondMagic = 0x4d3cb2a1;
constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kObsoletePacketBlock = 2;
constexpr uint32_t kSimplePacketBlock = 3;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint16_t kOptionTsresol = 9;
constexpr uint16_t kOptionTsoffset = 14;
constexpr size_t kGlobalHeaderSize = sizeof(pcap_hdr_t);
constexpr size_t kRecordHeaderSize = sizeof(pcaprec_hdr_t);
constexpr uint64_t kNsPerSec = 1000000000;

// Field reader for one byte order.
struct Order {
  bool swapped = false;
  uint16_t u16(const uint8_t *p) const {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap16(v) : v;
  }
  uint32_t u32(const uint8_t *p) const {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap32(v) : v;
  }
  uint64_t u64(const uint8_t *p) const {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap64(v) : v;
  }
};

// Where the parsers read the capture's own fields.  The frames point into
// the capture's bytes (a mapping of the file), but the headers are read
// from the file in large sequential reads: touching every page of a fresh
// mapping costs a page-table walk and a cache miss per record, which on a
// large capture is most of the load; the mapping's pages are then touched
// only by whoever reads a payload.  Without a file the bytes are read
// where they are.
//
// A reader may also copy the capture to a file while it reads (see
// CopyTarget): it then reads on where its window ends rather than jumping
// to the next header, so that every byte it passes is written from the
// window it was read into, and the capture is read from memory once.
//
// Or it fills: the bytes are memory of the store's own, which the reader
// fills from the file front to back as it goes, and the frames point into
// it (a load for a caller who reads or changes most payloads).  A reader
// does one of the two at most.
class Bytes {
 public:
  Bytes(const uint8_t *data, size_t size, int fd, off_t base)
      : data_(data), size_(size), fd_(fd), base_(base) {
    if (fd_ >= 0) buf_ = static_cast<uint8_t *>(malloc(size < kWindow ? size : kWindow));
  }
  ~Bytes() { free(buf_); }

  // Whether the reader can read: a reader of a file needs its window,
  // unless it fills.
  bool usable() const { return fd_ < 0 || buf_ != nullptr || fill_; }

  // Fills from here on: the bytes from `from` on are read into the data
  // as the reader needs them, none at limit or past it.
  void fill_from(size_t from, size_t limit) {
    if (fd_ < 0) return;
    fill_ = true;
    filled_ = from;
    limit_ = limit;
  }
  void limit_fill(size_t limit) { limit_ = limit < size_ ? limit : size_; }
  // The bytes up to end are in place (filled, or written to the copy);
  // false when a fill came short: the file got shorter.  filled() tells
  // how far the bytes are in place then.
  bool take_through(size_t end) {
    if (fill_) return fill(end, end);
    copy_through(end);
    return true;
  }
  size_t filled() const { return fill_ ? filled_ : size_; }
  // The bytes before off were taken by another reader; no limit from now.
  void taken_up_to(size_t off) {
    if (off > copied_) copied_ = off;
    if (off > filled_) filled_ = off;
    limit_ = size_;
  }
  int fd() const { return fd_; }
  off_t base() const { return base_; }
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;

  static constexpr size_t kWindow = size_t{1} << 18;

  // The n bytes at off (off + n within the capture, n at most kWindow), or
  // null when they cannot be read: the file got shorter.
  const uint8_t *at(size_t off, size_t n) {
    if (fill_) return off + n <= filled_ || fill(off + n, off + n + kWindow) ? data_ + off : nullptr;
    if (buf_ == nullptr) return data_ + off;
    while (off < win_off_ || off + n > win_off_ + win_len_) {
      size_t win_end = win_off_ + win_len_;
      size_t start = off;
      if (copy_ != nullptr) {
        if (off > win_end && copied_ >= win_off_ && copied_ <= win_end) start = win_end;
        copy_through(start);
      }
      size_t cap = size_ < kWindow ? size_ : kWindow;
      size_t want = size_ - start < cap ? size_ - start : cap;
      win_off_ = start;
      win_len_ = read_at(fd_, buf_, want, base_ + static_cast<off_t>(start));
      if (start == off || win_len_ < want) break;
    }
    if (off < win_off_ || off + n > win_off_ + win_len_) return nullptr;
    return buf_ + (off - win_off_);
  }

  // Copies from here on: the bytes from `from` are written to copy as the
  // reader passes them.  Only a reader of a file that does not fill copies.
  void copy_to(CopyTarget *copy, size_t from) {
    if (fd_ >= 0 && !fill_ && copy != nullptr && copy->fd >= 0) copy_ = copy;
    copied_ = from;
  }

 private:
  // Writes the bytes up to end not written yet: from the window where it
  // holds them, else read anew (a payload that reaches past the window).
  void copy_through(size_t end) {
    if (copy_ == nullptr || end <= copied_) return;
    size_t win_end = win_off_ + win_len_;
    if (copied_ >= win_off_ && copied_ < win_end) {
      size_t stop = end < win_end ? end : win_end;
      write_copy(buf_ + (copied_ - win_off_), stop - copied_, copied_);
      copied_ = stop;
    }
    while (copied_ < end && !copy_failed()) {
      uint8_t scratch[8192];
      size_t n = end - copied_ < sizeof scratch ? end - copied_ : sizeof scratch;
      if (read_at(fd_, scratch, n, base_ + static_cast<off_t>(copied_)) < n) {
        fail_copy();
        break;
      }
      write_copy(scratch, n, copied_);
      copied_ += n;
    }
    copied_ = end;
  }

  bool copy_failed() const { return __atomic_load_n(&copy_->failed, __ATOMIC_RELAXED); }
  void fail_copy() { __atomic_store_n(&copy_->failed, true, __ATOMIC_RELAXED); }
  void write_copy(const uint8_t *p, size_t n, size_t off) {
    if (!copy_failed() && !write_at(copy_->fd, p, n, static_cast<off_t>(off))) fail_copy();
  }

  // Reads on from filled_ to at least need (at most want, the limit and the
  // capture's end); false when the file ends first.
  bool fill(size_t need, size_t want) {
    if (need <= filled_) return true;
    if (need > limit_) return false;
    if (want > limit_) want = limit_;
    auto *to = const_cast<uint8_t *>(data_) + filled_;
    filled_ += read_at(fd_, to, want - filled_, base_ + static_cast<off_t>(filled_));
    return filled_ >= need;
  }

  const uint8_t *data_;
  size_t size_;
  int fd_;
  off_t base_;
  bool fill_ = false;
  size_t filled_ = 0;  // bytes before this offset are filled
  size_t limit_ = 0;   // and none from here on
  uint8_t *buf_ = nullptr;
  size_t win_off_ = 0;
  size_t win_len_ = 0;
  CopyTarget *copy_ = nullptr;
  size_t copied_ = 0;  // bytes before this offset are written
};

uint32_t raw32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// ---------------------------------------------------------------------------
// Classic PCAP.  A host-order record is kept as it lies, so an unchanged
// frame saves straight from the input; a swapped one gets a host-order
// copy of its header.

// What a record at off of a capture of n bytes is to a walk.
enum class Fit { kWhole, kImpossible, kCutShort };
Fit record_fit(const pcaprec_hdr_t &h, size_t off, size_t n) {
  // incl_len is a signed count: 2^31 and more cannot be held.
  if (static_cast<int32_t>(h.incl_len) < 0) return Fit::kImpossible;
  // A record cut short at the end of the file is dropped.
  if (n - off - kRecordHeaderSize < h.incl_len) return Fit::kCutShort;
  return Fit::kWhole;
}

pcaprec_hdr_t read_record(const uint8_t *rec, Order order) {
  pcaprec_hdr_t h;
  memcpy(&h, rec, sizeof h);
  if (order.swapped) {
    h.ts_sec = static_cast<int32_t>(order.u32(rec));
    h.ts_usec = static_cast<int32_t>(order.u32(rec + 4));
    h.incl_len = order.u32(rec + 8);
    h.orig_len = order.u32(rec + 12);
  }
  return h;
}

// Drops from the end of the list the frames of the load of d[0, n) whose
// payload does not lie wholly below limit; answers the lowest payload
// dropped, or limit when none was.
const uint8_t *drop_unfilled(const uint8_t *d, size_t n, const uint8_t *limit) {
  const uint8_t *lowest = limit;
  for (;;) {
    frame_entry_t *e = queue_head->last;
    if (e == head_as_entry() || e->frame == nullptr) return lowest;
    const uint8_t *p = e->frame->payload;
    if (p < d || p > d + n || p + e->frame->payload_size <= limit) return lowest;
    if (p < lowest) lowest = p;
    release_entry(e);
  }
}

// The second walker.  Reading a large capture is mostly copying its bytes
// out of the page cache and zeroing the memory of the frames' blocks, and
// one processor does both at its own pace.  So the load looks for a record
// boundary near the middle, and a helper thread walks from there to the
// end (reading through a window of its own, building blocks from an arena
// of its own) while this thread walks the first half.
//
// The boundary is a guess: an offset from which several records in a row
// look sound.  It counts only if the walk from the start lands on it
// exactly; then it is a record boundary, and the helper's frames are the
// very frames this thread would have read from there, so they join the
// list.  If the walk steps over it, the helper's frames are dropped and
// this thread reads on alone: a wrong guess costs time, never frames.
//
// The helper stops before anything the load reports or refuses (a record
// cut short, a length that cannot be held, memory running short); this
// thread walks on from there and meets it itself.  With per-record
// reports or a progress callback the load walks in order on one thread.
class SecondWalker {
 public:
  static constexpr size_t kFrom = size_t{16} << 20;  // smaller captures load on one thread
  static constexpr size_t kProbe = size_t{64} << 10;  // where a boundary is looked for
  static constexpr int kSoundRecords = 8;

  SecondWalker(const uint8_t *d, size_t n, int fd, off_t base, Order order, const pcap_hdr_t &g,
               CopyTarget *copy, bool fill)
      : in_(d, n, n >= kFrom ? fd : -1, base), d_(d), n_(n), order_(order), copy_(copy),
        fill_(fill) {
    fraction_limit_ = g.magic_number == kNanosecondMagic ? 1000000000u : 1000000u;
    length_limit_ = g.snaplen > kDefaultSnaplen ? g.snaplen : kDefaultSnaplen;
  }
  ~SecondWalker() { abandon(); }
  SecondWalker(const SecondWalker &) = delete;
  SecondWalker &operator=(const SecondWalker &) = delete;

  // Looks for a boundary in the second half of [from, n) and starts the
  // helper there; false (nothing started) when none was found or the
  // helper could not start.
  bool start(size_t from) {
    if (n_ - from < kFrom || !in_.usable() || processors() < 2) return false;
    if (!find_boundary(from + (n_ - from) / 2)) return false;
    in_.copy_to(copy_, begin_);
    if (fill_) in_.fill_from(begin_, n_);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);  // signals stay with the caller's thread
    running_ = pthread_create(&thread_, nullptr, &SecondWalker::run, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return running_;
  }

  // Where the helper started; SIZE_MAX when it is not running.
  size_t begin() const { return running_ ? begin_ : SIZE_MAX; }

  // The walk from the start reached the helper's boundary: waits for the
  // helper, appends its frames to the list and answers where the caller
  // walks on.  Frames whose bytes the helper could not fill (the file got
  // shorter) are dropped, and the caller walks on from the first of them.
  size_t finish() {
    pthread_join(thread_, nullptr);
    running_ = false;
    append_run(run_);
    if (!in_.take_through(end_)) {
      const uint8_t *limit = d_ + in_.filled();
      const uint8_t *lowest = drop_unfilled(d_, n_, limit);
      if (lowest != limit) end_ = static_cast<size_t>(lowest - d_) - kRecordHeaderSize;
    }
    return end_;
  }

  // The helper's boundary was no boundary, or the load ends before it:
  // stops the helper and drops its frames.
  void abandon() {
    if (!running_) return;
    __atomic_store_n(&stop_, true, __ATOMIC_RELAXED);
    pthread_join(thread_, nullptr);
    running_ = false;
    release_run(run_);
  }

 private:
  static void *run(void *self) {
    auto *w = static_cast<SecondWalker *>(self);
    w->end_ = w->walk(w->begin_);
    return nullptr;
  }

  bool sound(const pcaprec_hdr_t &h) const {
    return h.incl_len <= h.orig_len && h.incl_len <= length_limit_ &&
           static_cast<uint32_t>(h.ts_usec) < fraction_limit_;
  }

  // An offset in [at, at + kProbe) from which kSoundRecords records in a
  // row (or all up to the end of the capture) look sound, all within one
  // window read at at.  A record read 4 bytes late often looks sound too
  // (its time fraction is then the true length, its length the true
  // original length), and so does the chain of records after it: a
  // sound chain found is moved back while the one 4 bytes earlier is sound.
  bool find_boundary(size_t at) {
    size_t lo = at - kRecordHeaderSize;  // room to look back
    size_t len = n_ - lo < Bytes::kWindow ? n_ - lo : Bytes::kWindow;
    const uint8_t *w = in_.at(lo, len);
    if (w == nullptr) return false;
    auto chain_sound = [&](size_t c) {
      int sound_records = 0;
      while (sound_records < kSoundRecords && c + kRecordHeaderSize <= len) {
        pcaprec_hdr_t h = read_record(w + c, order_);
        if (!sound(h)) return false;
        ++sound_records;
        c += kRecordHeaderSize + h.incl_len;
      }
      return sound_records == kSoundRecords || lo + c == n_;
    };
    for (size_t c = kRecordHeaderSize; c < kRecordHeaderSize + kProbe; ++c) {
      if (c + kRecordHeaderSize > len) return false;
      if (!chain_sound(c)) continue;
      for (int back = 0; back < 3 && chain_sound(c - 4); ++back) c -= 4;
      begin_ = lo + c;
      return true;
    }
    return false;
  }

  // Walks from off as parse_classic does, up to the first record it would
  // not append as is; answers that record's offset.
  size_t walk(size_t off) {
    for (;;) {
      if (n_ - off < kRecordHeaderSize) return off;
      if (__atomic_load_n(&stop_, __ATOMIC_RELAXED)) return off;
      const uint8_t *rec = in_.at(off, kRecordHeaderSize);
      if (rec == nullptr) return off;
      pcaprec_hdr_t h = read_record(rec, order_);
      if (record_fit(h, off, n_) != Fit::kWhole) return off;
      if (!add_to_run(run_, arena_, h, d_ + off + kRecordHeaderSize,
                      order_.swapped ? nullptr : d_ + off))
        return off;
      off += kRecordHeaderSize + h.incl_len;
    }
  }

  // Processors this thread may run on.
  static int processors() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  }

  Bytes in_;
  const uint8_t *d_;
  size_t n_;
  Order order_;
  CopyTarget *copy_;
  bool fill_;
  uint32_t fraction_limit_;
  uint32_t length_limit_;
  size_t begin_ = 0;
  size_t end_ = 0;
  pthread_t thread_{};
  bool running_ = false;
  bool stop_ = false;
  FrameRun run_;
  Arena arena_;
};

int parse_classic(Bytes &in, const uint8_t *d, size_t n, Order order, pcap_hdr_t *global,
                  size_t *used, CopyTarget *copy, bool fill) {
  if (n < kGlobalHeaderSize) return kNoHeader;
  const uint8_t *gh = in.at(0, kGlobalHeaderSize);
  if (gh == nullptr) return kNoHeader;
  pcap_hdr_t g;
  memcpy(&g, gh, sizeof g);
  if (order.swapped) {
    g.magic_number = order.u32(gh);
    g.version_major = order.u16(gh + 4);
    g.version_minor = order.u16(gh + 6);
    g.thiszone = static_cast<int32_t>(order.u32(gh + 8));
    g.sigfigs = order.u32(gh + 12);
    g.snaplen = order.u32(gh + 16);
    g.network = order.u32(gh + 20);
  }
  *global = g;
  report_global_header(g);
  size_t off = kGlobalHeaderSize;
  // A swapped file is not saved as it lies, and only a file is copied.
  if (order.swapped || in.fd() < 0 || fill) copy = nullptr;
  if (copy != nullptr) in.copy_to(copy, 0);
  // Every way out puts the bytes of the frames in place (fills or copies
  // them up to end).  Frames a fill cannot complete (the file got shorter)
  // are dropped; the copy is whole where the walk reached the last record.
  auto done = [&in, copy, d, n, used](int rc, size_t end, bool last_record) {
    if (!in.take_through(end)) {  // the bytes taken end at the first record dropped
      const uint8_t *lowest = drop_unfilled(d, n, d + in.filled());
      size_t first_dropped = static_cast<size_t>(lowest - d);
      if (first_dropped < *used + kRecordHeaderSize) *used = first_dropped - kRecordHeaderSize;
    } else if (copy != nullptr && last_record)
      copy->complete = true;
    return rc;
  };
  SecondWalker second(d, n, in.fd(), in.base(), order, g, copy, fill);
  if (!load_reports_wanted()) second.start(off);
  size_t meet = second.begin();
  if (fill) in.limit_fill(meet);
  for (;;) {
    // A header at the helper's boundary or across it: the walk meets the
    // boundary or steps over it.
    if (meet != SIZE_MAX && off + kRecordHeaderSize > meet) {
      if (off == meet && in.take_through(meet)) {
        off = second.finish();
        in.taken_up_to(off);
      } else {
        second.abandon();
        in.limit_fill(n);
      }
      meet = SIZE_MAX;
    }
    *used = off;
    if (n - off < kRecordHeaderSize) {
      report_end_of_records();
      return done(kLoaded, off, true);
    }
    const uint8_t *rec = in.at(off, kRecordHeaderSize);
    if (rec == nullptr) return done(kLoaded, off, false);
    pcaprec_hdr_t h = read_record(rec, order);
    report_record(h);
    Fit fit = record_fit(h, off, n);
    if (fit == Fit::kImpossible) return done(kNoMemory, off, false);
    if (fit == Fit::kCutShort) return done(kLoaded, off, true);
    if (!append_frame(h, d + off + kRecordHeaderSize, order.swapped ? nullptr : d + off))
      return done(kNoMemory, off, false);
    report_frame_data(h);
    off += kRecordHeaderSize + h.incl_len;
  }
}

// ---------------------------------------------------------------------------
// pcapng: sections of blocks; interfaces are numbered per section.  Blocks
// the store has no use for are skipped; a block that is cut short or whose
// lengths contradict each other ends the load like a cut record.

struct Interface {
  uint32_t snaplen;
  uint8_t tsresol;
  int64_t tsoffset;  // seconds
};

class PcapngParser {
 public:
  PcapngParser(Bytes &in, const uint8_t *d, size_t n) : in_(in), d_(d), n_(n) {}
  ~PcapngParser() { free(ifaces_); }
  PcapngParser(const PcapngParser &) = delete;
  PcapngParser &operator=(const PcapngParser &) = delete;

  int run(pcap_hdr_t *global, size_t *used) {
    int rc = blocks(used);
    if (rc == kLoaded) report_header_once();
    *global = header_;
    return rc;
  }

 private:
  int blocks(size_t *used) {
    size_t off = 0;
    *used = 0;
    for (;;) {
      if (n_ - off < 12) break;
      const uint8_t *b = in_.at(off, 12);
      if (b == nullptr) break;
      uint32_t type = raw32(b);
      if (type == kSectionHeaderBlock && !start_section(b)) break;
      type = order_.u32(b);
      uint32_t len = order_.u32(b + 4);
      if (len < 12 || len % 4 != 0 || len > n_ - off) break;
      if (off == 0 && type != kSectionHeaderBlock) break;
      int rc = block(type, off + 8, len - 12);
      if (rc < 0) break;
      if (rc != kLoaded) return rc;
      off += len;
      *used = off;
    }
    if (off == 0) return kNoHeader;  // not even a whole section header
    report_end_of_records();
    return kLoaded;
  }

  // Reads the byte order of a new section; false when it has none.
  bool start_section(const uint8_t *b) {
    uint32_t bom = raw32(b + 8);
    if (bom == kByteOrderMagic)
      order_.swapped = false;
    else if (__builtin_bswap32(bom) == kByteOrderMagic)
      order_.swapped = true;
    else
      return false;
    count_ = 0;
    return true;
  }

  // kLoaded to go on, -1 to end the load quietly, or a failing result.
  // The block body at off, of size bytes.
  int block(uint32_t type, size_t off, size_t size) {
    // The fixed part of every packet block fits in 20 bytes; an interface
    // block is read whole (up to a window) for its options.
    size_t want = type == kInterfaceBlock ? size : 20;
    if (want > size) want = size;
    if (want > Bytes::kWindow) want = Bytes::kWindow;
    if (type != kInterfaceBlock && type != kEnhancedPacketBlock && type != kObsoletePacketBlock &&
        type != kSimplePacketBlock)
      return kLoaded;
    const uint8_t *body = in_.at(off, want);
    if (body == nullptr) return -1;
    const uint8_t *data = d_ + off;
    switch (type) {
      case kInterfaceBlock:
        return interface(body, want);
      case kEnhancedPacketBlock:
        if (size < 20) return -1;
        return packet(order_.u32(body), order_.u32(body + 4), order_.u32(body + 8),
                      order_.u32(body + 12), order_.u32(body + 16), data + 20, size - 20);
      case kObsoletePacketBlock:
        if (size < 20) return -1;
        return packet(order_.u16(body), order_.u32(body + 4), order_.u32(body + 8),
                      order_.u32(body + 12), order_.u32(body + 16), data + 20, size - 20);
      case kSimplePacketBlock: {
        if (size < 4 || count_ == 0) return -1;
        uint32_t orig = order_.u32(body);
        uint32_t cap = orig;
        if (cap > size - 4) cap = static_cast<uint32_t>(size - 4);
        if (ifaces_[0].snaplen != 0 && cap > ifaces_[0].snaplen) cap = ifaces_[0].snaplen;
        return packet_data(0, 0, cap, orig, data + 4);
      }
      default:
        return kLoaded;
    }
  }

  int interface(const uint8_t *body, size_t size) {
    if (size < 8) return -1;
    uint32_t link = order_.u16(body);
    if (!have_link_) {
      have_link_ = true;
      header_.network = link;
    } else if (link != header_.network) {
      return kMixedLinkTypes;
    }
    if (count_ == capacity_ && !grow()) return kNoMemory;
    Interface &i = ifaces_[count_++];
    i = Interface{order_.u32(body + 4), 6, 0};
    uint32_t snap = i.snaplen != 0 ? i.snaplen : kDefaultSnaplen;
    if (snap > header_.snaplen) header_.snaplen = snap;
    options(body + 8, size - 8, &i);
    return kLoaded;
  }

  void options(const uint8_t *p, size_t size, Interface *i) {
    while (size >= 4) {
      uint16_t code = order_.u16(p), len = order_.u16(p + 2);
      size_t padded = (static_cast<size_t>(len) + 3) & ~size_t{3};
      if (code == 0 || padded > size - 4) return;
      if (code == kOptionTsresol && len >= 1) i->tsresol = p[4];
      if (code == kOptionTsoffset && len >= 8) i->tsoffset = static_cast<int64_t>(order_.u64(p + 4));
      p += 4 + padded;
      size -= 4 + padded;
    }
  }

  bool grow() {
    uint32_t cap = capacity_ == 0 ? 4 : capacity_ * 2;
    void *m = realloc(ifaces_, cap * sizeof(Interface));
    if (m == nullptr) return false;
    ifaces_ = static_cast<Interface *>(m);
    capacity_ = cap;
    return true;
  }

  int packet(uint32_t iface, uint32_t ts_high, uint32_t ts_low, uint32_t cap, uint32_t orig,
             const uint8_t *data, size_t room) {
    if (iface >= count_ || cap > room) return -1;
    uint64_t units = (static_cast<uint64_t>(ts_high) << 32) | ts_low;
    return packet_data(iface, units, cap, orig, data);
  }

  int packet_data(uint32_t iface, uint64_t units, uint32_t cap, uint32_t orig, const uint8_t *data) {
    report_header_once();
    const Interface &i = ifaces_[iface];
    uint64_t ns = pcapng_nanoseconds(units, i.tsresol) + static_cast<uint64_t>(i.tsoffset) * kNsPerSec;
    pcaprec_hdr_t h{static_cast<int32_t>(ns / kNsPerSec), static_cast<int32_t>(ns % kNsPerSec), cap,
                    orig};
    report_record(h);
    if (static_cast<int32_t>(cap) < 0) return kNoMemory;
    if (!append_frame(h, data, nullptr)) return kNoMemory;
    report_frame_data(h);
    return kLoaded;
  }

  void report_header_once() {
    if (reported_) return;
    reported_ = true;
    report_global_header(header_);
  }

  Bytes &in_;
  const uint8_t *d_;
  size_t n_;
  Order order_;
  Interface *ifaces_ = nullptr;  // of the current section
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  bool have_link_ = false;
  bool reported_ = false;
  pcap_hdr_t header_{kNanosecondMagic, 2, 4, 0, 0, 0, 0};
};

}  // namespace

uint64_t pcapng_nanoseconds(uint64_t units, uint8_t tsresol) {
  unsigned k = tsresol & 0x7f;
  if ((tsresol & 0x80) != 0) {
    if (k >= 64) return 0;
    // units * 10^9 / 2^k, without losing the high bits of the product.
    unsigned __int128 ns = static_cast<unsigned __int128>(units) * kNsPerSec;
    return static_cast<uint64_t>(ns >> k);
  }
  uint64_t scale = 1;
  if (k <= 9) {
    for (unsigned e = k; e < 9; ++e) scale *= 10;
    return units * scale;
  }
  if (k > 19) return 0;  // finer than 10^-19 s: below a nanosecond for any count
  for (unsigned e = 9; e < k; ++e) scale *= 10;
  return units / scale;
}

int parse_capture(const uint8_t *data, size_t size, int fd, off_t base, pcap_hdr_t *global,
                  size_t *used, CopyTarget *copy, bool fill) {
  *used = 0;
  if (size < 4) return kNoHeader;
  Bytes in(data, size, fd, base);
  if (fill) in.fill_from(0, size);
  const uint8_t *head = in.at(0, 4);
  if (head == nullptr) return kNoHeader;
  uint32_t magic = raw32(head);
  switch (magic) {
    case kMicrosecondMagic:
    case kNanosecondMagic:
      return parse_classic(in, data, size, Order{false}, global, used, copy, fill);
    case kSwappedMicrosecondMagic:
    case kSwappedNanosecondMagic:
      return parse_classic(in, data, size, Order{true}, global, used, copy, fill);
    case kSectionHeaderBlock: {
      PcapngParser p(in, data, size);
      int rc = p.run(global, used);
      if (!in.take_through(*used)) {
        drop_unfilled(data, size, data + in.filled());
        if (*used > in.filled()) *used = in.filled();
      }
      return rc;
    }
    default:
      return kUnknownFormat;
  }
}

}  // namespace orvik::frames
