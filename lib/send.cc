// Frame sender: replays the frame store's frames into the streaming device,
// each behind a 13-byte transmit header carrying its paced transmit time.
//
// Pacing never sleeps: the card transmits each frame at the time in its
// header, so the sender only has to compute those times.  The payloads go
// to the streaming library straight from the frame store, and the header is
// one buffer of the send rewritten for every frame.
//
// Everything a send computes lives in one Pacer that the send owns from
// start to end; only the exported counters, the device choice and the
// replay controls outlive it.
#include "send.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "c_util.h"
#include "frames.h"
#include "kvo2.h"
#include "kvo2_header.h"
#include "log.h"
#include "stat.h"
#include "tessel.h"

extern "C" {
ORVIK_EXPORT uint64_t ovks_packet_sent = 0;
ORVIK_EXPORT uint64_t ovks_packet_dropped = 0;
}

namespace {

char err_msg[orvik::kErrMsgSize];

constexpr uint32_t kNsecPerSec = 1000000000u;
constexpr uint32_t kDefaultRxMask = 0x00;
// One bit per transmit interface of the card: all four of them.
constexpr uint32_t kDefaultTxMask = 0x0F;
// Receive poll timeout handed to the streaming library, in its units:
// milliseconds, as the setup message says, so some 83 minutes, in effect
// none for a sender that never receives.  The transmit timeout is the
// library's own (KVO2_TX_POLL_TIMEOUT) and only passed on to the poll.
constexpr uint32_t kRxPollTimeout = 5000000;
// Poll event: the device can take another frame.
constexpr uint16_t kEventWritable = 4;
// Time one byte occupies on the line, in nanoseconds.
constexpr double kNsecPerByte = 0.78125;
// Bandwidth mode delays a frame in steps of this many nanoseconds.
constexpr uint32_t kSlowdownStepNs = 2000;
// How far ahead of the current frame the walk asks for memory: some thirty
// minimum-size frames, or a few full-size ones, of the store.
constexpr size_t kPrefetchAhead = 4096;
// Card clock units per nanosecond of the transmit header's converted time.
constexpr double kClockDivisor = 6.4;
// Frames between two progress reports.
constexpr uint64_t kProgressEvery = 4096;

// Device choice: null name lets the streaming library choose.
const char *const default_device_name = nullptr;
std::string device_name_store;
bool device_name_set = false;
uint16_t interface = 0;
uint32_t rx_mask_setting = kDefaultRxMask;
uint32_t tx_mask_setting = kDefaultTxMask;

// Replay controls and what the last send left for its caller.
const ovks_replay_t kDefaultReplay{1.0, 1, nullptr, nullptr};
ovks_replay_t replay = kDefaultReplay;
ovks_stats_t last_stats{};
char fail_reason[512];
// The start the last send used: a card clock that gives no time keeps it
// (zero in a fresh process).
ovks_time_t previous_start{0, 0};

enum class Pacing { kInterval, kBandwidth, kCaptureGap };

__attribute__((format(printf, 1, 2))) void set_reason(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(fail_reason, sizeof fail_reason, fmt, ap);
  va_end(ap);
}

void normalise(ovks_time_t &t) {
  if (t.nsec < kNsecPerSec) return;  // the usual case, and the per-frame path
  t.sec += t.nsec / kNsecPerSec;
  t.nsec %= kNsecPerSec;
}

// Stores a pair as one 8-byte value.  The walk's clock is kept on the
// stack at -O2, its pairs are read back whole in the next step, and a pair
// stored field by field would stall that load (the processor cannot
// forward two stores to one load): the walk takes twice as long.
void store_time(ovks_time_t &to, const ovks_time_t &v) {
  static_assert(sizeof(ovks_time_t) == sizeof(uint64_t));
  uint64_t whole;
  memcpy(&whole, &v, sizeof whole);
  memcpy(&to, &whole, sizeof whole);
}

// Pairs from callers and captures may hold 10^9 nanoseconds or more;
// normalising both sides first keeps the 32-bit sum from wrapping.
void add_time(ovks_time_t &t, ovks_time_t d) {
  ovks_time_t sum = t;
  normalise(d);
  normalise(sum);
  sum.sec += d.sec;
  sum.nsec += d.nsec;
  normalise(sum);
  store_time(t, sum);
}

ovks_time_t capture_time(const frame_t *f) {
  return {static_cast<uint32_t>(f->header->ts_sec), static_cast<uint32_t>(f->header->ts_usec)};
}

// to - from, borrowing a second when the nanoseconds run backwards.
ovks_time_t capture_gap(const ovks_time_t &from, const ovks_time_t &to) {
  ovks_time_t gap{to.sec - from.sec, 0};
  if (to.nsec < from.nsec) {
    gap.sec -= 1;
    gap.nsec = to.nsec + kNsecPerSec - from.nsec;
  } else {
    gap.nsec = to.nsec - from.nsec;
  }
  return gap;
}

// gap / multiplier, rounded to the nanosecond; a gap that would not fit
// the pair stops at its largest value.
ovks_time_t scale_gap(const ovks_time_t &gap, double multiplier) {
  if (multiplier == 1.0) return gap;
  constexpr double kLargest = 4294967295.0 * kNsecPerSec + (kNsecPerSec - 1);
  double ns = (static_cast<double>(gap.sec) * kNsecPerSec + gap.nsec) / multiplier;
  if (!(ns < kLargest)) return {UINT32_MAX, kNsecPerSec - 1};
  uint64_t v = static_cast<uint64_t>(std::llround(ns));
  return {static_cast<uint32_t>(v / kNsecPerSec), static_cast<uint32_t>(v % kNsecPerSec)};
}

// The frame's time on the line, truncated to the nanosecond.
uint32_t line_time_ns(uint32_t size) { return static_cast<uint32_t>(size * kNsecPerByte); }

using orvik::FilePtr;

struct DeviceCloser {
  void operator()(kvodata_t *k) const { kvodata_close(k); }
};
using DevicePtr = std::unique_ptr<kvodata_t, DeviceCloser>;

// The store is emptied whichever way a send ends.
struct FrameStoreGuard {
  ~FrameStoreGuard() { ovke_free(); }
};

const frame_t *frame_after(const frame_queue_t *q, const frame_entry_t *e) {
  for (e = e->next; e != reinterpret_cast<const frame_entry_t *>(q); e = e->next)
    if (e->frame != nullptr) return e->frame;
  return nullptr;
}

const frame_t *first_frame(const frame_queue_t *q) {
  if (q->first == reinterpret_cast<const frame_entry_t *>(q)) return nullptr;
  if (q->first->frame != nullptr) return q->first->frame;
  return frame_after(q, q->first);
}

uint64_t count_frames(const frame_queue_t *q) {
  uint64_t n = 0;
  for (const frame_entry_t *e = q->first; e != reinterpret_cast<const frame_entry_t *>(q);
       e = e->next)
    if (e->frame != nullptr) ++n;
  return n;
}

static_assert(int{OVKS_NOT_A_CAPTURE} == int{OVKE_LOAD_UNKNOWN_FORMAT} &&
                  int{OVKS_MIXED_LINK_TYPES} == int{OVKE_LOAD_MIXED_LINK_TYPES},
              "a send passes the store's refusals on unchanged");

// The store's load result, or 1 when the file cannot be opened; the
// failure's reason is set.
int load_frames(const char *path) {
  if (path == nullptr) {
    orvik::log_msg(err_msg, 2, "No input file specified");
    set_reason("no input file given");
    return 1;
  }
  FilePtr in(fopen(path, "r"));
  if (!in) {
    int e = errno;
    orvik::log_msg(err_msg, 2, "Cannot open file `%s'", path);
    set_reason("%s: %s", path, strerror(e));
    return 1;
  }
  ovke_init();
  FILE *stream = in.get();
  int rc = ovke_load_file(&stream);
  switch (rc) {
    case OVKE_OK: break;
    case OVKE_LOAD_NO_HEADER: set_reason("%s: too short to be a capture", path); break;
    case OVKE_LOAD_NO_MEMORY: set_reason("%s: out of memory loading the capture", path); break;
    case OVKE_LOAD_UNKNOWN_FORMAT:
      set_reason("%s: neither a PCAP nor a pcapng capture", path);
      break;
    case OVKE_LOAD_MIXED_LINK_TYPES:
      set_reason("%s: interfaces of different link types", path);
      break;
    default: set_reason("%s: cannot load the capture", path); break;
  }
  return rc;
}

struct SendArgs {
  const ovks_time_t *start, *interval, *move;
  bool hw_clock;
  uint32_t repeat;
  uint8_t flag;
  bool dry_run;
  float speed;
};

// The state of one send, from loading to closing.
struct Pacer {
  Pacer(const SendArgs &args, const frame_queue_t *queue) : a(args), q(queue) {}

  const SendArgs &a;
  const frame_queue_t *q;
  Pacing mode = Pacing::kCaptureGap;
  DevicePtr kvo;

  // Where the schedule starts (the start given, the card's clock, the first
  // frame's capture time or the last send's start), the move asked for, and
  // their sum: the time the clock starts at.
  ovks_time_t first_ts{0, 0}, move_time{0, 0}, start_time{0, 0};
  // Where pacing stands during a walk: the last frame's transmit time and
  // the gap to the next one.  A local of the walk, so that it stays in
  // registers.
  struct Clock {
    ovks_time_t final_time;
    ovks_time_t ifg;
  };
  // Bandwidth mode: bytes so far and the time they take on the line.
  uint64_t total_size = 0;
  ovks_time_t total_time{0, 0};
  float avg_speed = 0;

  unsigned char hw_data[KVO2_HDR_LEN] = {};
  const uint8_t *data = nullptr;
  uint32_t data_size = 0;

  ovks_stats_t stats{};

  bool open_device();
  void read_card_clock();
  void reset();
  double line_rate(bool report) const;
  ovks_time_t bandwidth_time(uint32_t size);
  ovks_time_t transmit_time(const frame_entry_t *e, uint32_t size, Clock &c);
  void report_header(const ovks_time_t &t) const;
  bool hand_over();
  void count(bool sent, const ovks_time_t &t);
  void deliver(const frame_t *f, uint32_t size, const ovks_time_t &paced);
  void send_frames();
};

bool Pacer::open_device() {
  uint32_t rx_mask = rx_mask_setting, tx_mask = tx_mask_setting;
  const char *name = device_name_set ? device_name_store.c_str() : default_device_name;
  kvo.reset(kvodata_open(name));
  if (!kvo) {
    orvik::log_msg(err_msg, 2, "kvodata_open failed");
    set_reason("cannot open the streaming device `%s'", name != nullptr ? name : "(default)");
    return false;
  }
  KVO2_RX_POLL_TIMEOUT = kRxPollTimeout;
  orvik::log_msg(err_msg, 2, "Subscribing: RX interface mask-0x%02hx; TX interface mask-0x%02hx",
                 static_cast<unsigned short>(rx_mask), static_cast<unsigned short>(tx_mask));
  orvik::log_msg(err_msg, 2, "Poll timeouts: RX %ums; TX %ums", KVO2_RX_POLL_TIMEOUT,
                 KVO2_TX_POLL_TIMEOUT);
  if (kvodata_subscribe3(kvo.get(), &rx_mask, &tx_mask) != 0) {
    set_reason("cannot subscribe the streaming device's channels");
    return false;
  }
  orvik::log_msg(err_msg, 2, "Subscribed: RX 0x%02hx; TX 0x%02hx",
                 static_cast<unsigned short>(rx_mask), static_cast<unsigned short>(tx_mask));
  if (kvodata_start(kvo.get()) != 0) {
    set_reason("cannot start the streaming device");
    return false;
  }
  return true;
}

// Starting time from the card's free-running clock register.
void Pacer::read_card_clock() {
  if (ovkc_init("addresses.xml") != OVKC_OK) {
    first_ts = {0, 0};
    orvik::log_msg(err_msg, 0, "Could not find addresses.xml");
    ovkc_free();
    return;
  }
  ovkc_read_values_by_name("^sn_hwtime$");
  const value_list_t *values = ovkc_get_datalist();
  if (values != nullptr && values->data != nullptr) {
    tl_interpret_time(&values->data->value, &first_ts.sec, &first_ts.nsec);
    printf("hw timestamp: %us%06u\n", first_ts.sec, first_ts.nsec);
  }
  ovkc_free();
}

void Pacer::reset() {
  mode = a.interval != nullptr ? Pacing::kInterval
         : a.speed > 0         ? Pacing::kBandwidth
                               : Pacing::kCaptureGap;
  first_ts = previous_start;
  if (a.hw_clock) {
    read_card_clock();
  } else if (a.start != nullptr) {
    first_ts = *a.start;
  } else if (const frame_t *f = first_frame(q)) {
    first_ts = capture_time(f);
  }
  previous_start = first_ts;
  move_time = a.move != nullptr ? *a.move : ovks_time_t{0, 0};
  start_time = first_ts;
  add_time(start_time, move_time);
  kvo2_header_set_flags(hw_data, a.flag, a.repeat);
  ovks_packet_sent = 0;
  ovks_packet_dropped = 0;
}

// Average line rate in bits per second after total_size bytes in
// total_time.  The time is summed in single precision, as the card's
// firmware tools do, so that both agree on when a frame must wait.
double Pacer::line_rate(bool report) const {
  float seconds = static_cast<float>(static_cast<int32_t>(total_time.sec)) +
                  static_cast<float>(static_cast<int32_t>(total_time.nsec)) / 1e9f;
  double bits = static_cast<double>(total_size * 8);
  if (report && orvik::log_enabled(2))
    orvik::log_msg(err_msg, 2, "size / time: %f / %f", bits, seconds);
  return bits / seconds;
}

ovks_time_t Pacer::bandwidth_time(uint32_t size) {
  total_size += size;
  total_time.nsec += line_time_ns(size);
  normalise(total_time);
  if (orvik::log_enabled(2))
    orvik::log_msg(err_msg, 2, "total_time %is%09ins", static_cast<int32_t>(total_time.sec),
                   static_cast<int32_t>(total_time.nsec));
  double rate;
  if (avg_speed == 0) {
    // The first frame alone: bytes over its own time on the line.
    rate = size / (kNsecPerByte * size * 1e-9);
  } else {
    rate = line_rate(true);
  }
  avg_speed = static_cast<float>(rate);
  while (rate > a.speed) {
    total_time.nsec += kSlowdownStepNs;
    normalise(total_time);
    rate = line_rate(false);
  }
  avg_speed = static_cast<float>(rate);
  if (orvik::log_enabled(2)) orvik::log_msg(err_msg, 2, "Average speed: %f", avg_speed);
  ovks_time_t t = total_time;
  add_time(t, first_ts);
  add_time(t, move_time);
  return t;
}

// The transmit time of the frame at e, of size bytes; c moves on to it.
ovks_time_t Pacer::transmit_time(const frame_entry_t *e, uint32_t size, Clock &c) {
  switch (mode) {
    case Pacing::kInterval:
      add_time(c.final_time, *a.interval);
      return c.final_time;
    case Pacing::kBandwidth:
      c.final_time = bandwidth_time(size);
      return c.final_time;
    case Pacing::kCaptureGap:
      break;
  }
  add_time(c.final_time, c.ifg);
  // After the last frame, a further pass starts once this frame has left
  // the line.
  const frame_t *next = frame_after(q, e);
  store_time(c.ifg, next != nullptr
                        ? scale_gap(capture_gap(capture_time(e->frame), capture_time(next)),
                                    replay.multiplier)
                        : ovks_time_t{0, std::max<uint32_t>(1, line_time_ns(size))});
  return c.final_time;
}

// The card counts its transmit clock in units of 1/6.4 ns; flag bit 0 asks
// for the header time in those units.
ovks_time_t to_card_clock(const ovks_time_t &t) {
  orvik::log_msg(err_msg, 2, "Relative time to hw clock conversion");
  uint64_t v;
  tl_concat_nums(t.sec, t.nsec, &v);
  tl_time_transf(&v);
  v = static_cast<uint64_t>(static_cast<double>(v) / kClockDivisor);
  tl_time_detransf(&v);
  ovks_time_t out;
  tl_interpret_time(&v, &out.sec, &out.nsec);
  return out;
}

void report_frame(const frame_t *f) {
  if (!orvik::log_enabled(1)) return;
  orvik::log_msg(err_msg, 1, "Timestamp: %is%09ins", f->header->ts_sec, f->header->ts_usec);
  orvik::log_msg(err_msg, 1, "Length of portion: %u", f->header->incl_len);
  orvik::log_msg(err_msg, 1, "Length of packet: %u", f->header->orig_len);
}

void Pacer::report_header(const ovks_time_t &t) const {
  if (!orvik::log_enabled(0)) return;
  orvik::log_msg(err_msg, 0, "%4u Size: %5uB Timestamp: %us%09uns",
                 static_cast<unsigned>(ovks_packet_sent + ovks_packet_dropped), data_size, t.sec,
                 t.nsec);
}

// Offers the frame until the device takes it.  A device that cannot take
// it yet is polled and offered it again; a refusal, a poll error or a poll
// that times out drops the frame.
bool Pacer::hand_over() {
  for (;;) {
    int r = kvodata_prepare_and_try_write_next(kvo.get(), hw_data, KVO2_HDR_LEN, data, data_size,
                                               interface);
    if (r == 0) return true;
    if (r != 1) {
      orvik::log_msg(err_msg, 2, "kvodata_prepare_and_try_write_next error");
      return false;
    }
    uint16_t events = kEventWritable;
    int p = kvodata_poll(kvo.get(), &events, KVO2_TX_POLL_TIMEOUT);
    if (p < 0) {
      fputs("Poll error", stderr);
      return false;
    }
    if (p == 0 || (events & kEventWritable) == 0) return false;
  }
}

// Adds a frame of size bytes sent at t to s.
void tally(ovks_stats_t &s, uint32_t size, const ovks_time_t &t) {
  if (s.frames++ == 0) s.first = t;
  s.last = t;
  s.bytes += size;
}

void Pacer::count(bool sent, const ovks_time_t &t) {
  if (!sent) {
    ++ovks_packet_dropped;
    return;
  }
  ++ovks_packet_sent;
  tally(stats, data_size, t);
}

// Puts the frame's paced time in the device header, reports it, and hands
// the frame over (or, in a dry run, only counts it).
void Pacer::deliver(const frame_t *f, uint32_t size, const ovks_time_t &paced) {
  data = f->payload;
  data_size = size;
  ovks_time_t t = (a.flag & 1) ? to_card_clock(paced) : paced;
  kvo2_header_set_time(hw_data, t.sec, t.nsec);
  report_header(t);
  count(a.dry_run || hand_over(), paced);
}

// Walks the list as many times as the replay asks, pacing every frame and
// delivering it.  A dry run that nobody follows frame by frame (no
// per-frame reports, no progress) only paces and counts, and its counts
// become the send's at the end.  Not inlined into send(): its loop then has
// the registers to itself, and the clock and the counts stay in them over
// millions of frames.
__attribute__((noinline)) void Pacer::send_frames() {
  const uint32_t passes = replay.loops != 0 ? replay.loops : 1;
  const uint64_t total = replay.progress != nullptr ? count_frames(q) * passes : 0;
  const bool count_only = a.dry_run && !orvik::log_enabled(0) && replay.progress == nullptr;
  Clock clock{start_time, {0, 0}};
  ovks_stats_t walked{};
  uint64_t done = 0;
  for (uint32_t pass = 0; pass < passes; ++pass) {
    for (const frame_entry_t *e = q->first; e != reinterpret_cast<const frame_entry_t *>(q);
         e = e->next) {
      // The store lays its frames out one after another, so the walk is a
      // chain of cache misses unless memory ahead is asked for early.  A
      // prefetch never faults: with another layout only the hint is lost.
      __builtin_prefetch(reinterpret_cast<const char *>(e) + kPrefetchAhead);
      const frame_t *f = e->frame;
      if (f == nullptr) continue;
      const auto size = static_cast<uint32_t>(f->payload_size);
      report_frame(f);
      const ovks_time_t paced = transmit_time(e, size, clock);
      if (count_only) {
        tally(walked, size, paced);
        continue;
      }
      deliver(f, size, paced);
      if (replay.progress != nullptr && ++done % kProgressEvery == 0)
        replay.progress(done, total, replay.progress_arg);
    }
  }
  if (count_only) {
    stats = walked;
    ovks_packet_sent = walked.frames;
  }
  if (replay.progress != nullptr) replay.progress(done, total, replay.progress_arg);
}

// The counts of the last send stay until this one has its device and
// starts counting: a send that fails early leaves them as they were.
int send(const char *path, const SendArgs &a) {
  fail_reason[0] = '\0';
  FrameStoreGuard store;
  if (int rc = load_frames(path); rc != OVKE_OK)
    return rc == OVKE_LOAD_UNKNOWN_FORMAT || rc == OVKE_LOAD_MIXED_LINK_TYPES ? rc : OVKS_FAILED;
  Pacer pacer(a, ovke_get_frames());
  if (!a.dry_run && !pacer.open_device()) return OVKS_FAILED;
  pacer.reset();
  pacer.send_frames();
  last_stats = pacer.stats;
  return OVKS_OK;
}

}  // namespace

extern "C" {

ORVIK_EXPORT int ovks_init(void) {
  device_name_set = false;
  interface = 0;
  rx_mask_setting = kDefaultRxMask;
  tx_mask_setting = kDefaultTxMask;
  replay = kDefaultReplay;
  return OVKS_OK;
}

ORVIK_EXPORT void ovks_set_output_iface(const char *device, uint16_t iface) {
  try {
    device_name_set = device != nullptr;
    device_name_store = device != nullptr ? device : "";
  } catch (...) {
    device_name_set = false;  // out of memory: fall back to the default device
  }
  interface = iface;
}

ORVIK_EXPORT void ovks_set_masks(uint32_t rx, uint32_t tx) {
  rx_mask_setting = rx;
  tx_mask_setting = tx;
}

ORVIK_EXPORT void ovks_set_replay(const ovks_replay_t *r) {
  replay = r != nullptr ? *r : kDefaultReplay;
  // A multiplier that cannot divide a gap leaves the gaps as captured.
  if (!std::isfinite(replay.multiplier) || replay.multiplier <= 0) replay.multiplier = 1.0;
}

ORVIK_EXPORT void ovks_get_stats(ovks_stats_t *stats) {
  if (stats != nullptr) *stats = last_stats;
}

ORVIK_EXPORT const char *ovks_error(void) { return fail_reason; }

ORVIK_EXPORT int ovks_send(const char *path, const ovks_time_t *start,
                           const ovks_time_t *interval, const ovks_time_t *move,
                           uint8_t hw_clock, uint32_t repeat, uint8_t flag, uint8_t dry_run,
                           float speed) {
  try {
    return send(path, SendArgs{start, interval, move, hw_clock != 0, repeat, flag,
                               dry_run != 0, speed});
  } catch (...) {
    set_reason("out of memory");
    return OVKS_FAILED;
  }
}

ORVIK_EXPORT void ovks_free(void) {}

}  // extern "C"
