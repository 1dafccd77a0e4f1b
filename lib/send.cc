// Frame sender: replays the frame store's frames into the streaming device,
// each behind a 13-byte transmit header carrying its paced transmit time.
//
// Pacing never sleeps: the card transmits each frame at the time in its
// header, so the sender only has to compute those times.  The payloads go
// to the streaming library straight from the frame store, and the header is
// one static buffer rewritten for every frame.
#include "send.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "frames.h"
#include "kvo2.h"
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
constexpr uint32_t kHeaderLen = 13;
constexpr uint32_t kDefaultRxMask = 0x00;
constexpr uint32_t kDefaultTxMask = 0x0F;
constexpr uint32_t kRxPollTimeout = 5000000;
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

// Device choice: null name lets the streaming library choose.
const char *const default_device_name = nullptr;
std::string device_name_store;
bool device_name_set = false;
uint16_t interface = 0;
uint32_t rx_mask_setting = kDefaultRxMask;
uint32_t tx_mask_setting = kDefaultTxMask;

// Pacing state of the send in progress.
kvodata_t *kvo = nullptr;
ovks_time_t first_ts, move_time, final_time, ifg;
uint64_t total_size;
ovks_time_t total_time;
float avg_speed;

unsigned char hw_data[kHeaderLen];
const uint32_t hw_data_size = kHeaderLen;
const uint8_t *data;
uint32_t data_size;

enum class Pacing { kInterval, kBandwidth, kCaptureGap };

void normalise(ovks_time_t &t) {
  if (t.nsec < kNsecPerSec) return;  // the usual case, and the per-frame path
  t.sec += t.nsec / kNsecPerSec;
  t.nsec %= kNsecPerSec;
}

// Pairs from callers and captures may hold 10^9 nanoseconds or more;
// normalising both sides first keeps the 32-bit sum from wrapping.
void add_time(ovks_time_t &t, ovks_time_t d) {
  normalise(d);
  normalise(t);
  t.sec += d.sec;
  t.nsec += d.nsec;
  normalise(t);
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

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The store is emptied whichever way a send ends.
struct FrameStoreGuard {
  ~FrameStoreGuard() { ovke_free(); }
};

// The device is closed whichever way a send ends.
struct DeviceGuard {
  ~DeviceGuard() {
    if (kvo != nullptr) kvodata_close(kvo);
    kvo = nullptr;
  }
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

// The store's load result, or 1 when the file cannot be opened.
int load_frames(const char *path) {
  if (path == nullptr) {
    orvik::log_msg(err_msg, 2, "No input file specified");
    return 1;
  }
  FilePtr in(fopen(path, "r"));
  if (!in) {
    orvik::log_msg(err_msg, 2, "Cannot open file `%s'", path);
    return 1;
  }
  ovke_init();
  FILE *stream = in.get();
  return ovke_load_file(&stream);
}

// Load results from which the store refuses a capture as a whole (3: not
// a capture it reads, 4: not one it can hold); the send passes them on.
constexpr int kFirstRefusal = 3;

bool open_device() {
  uint32_t rx_mask = rx_mask_setting, tx_mask = tx_mask_setting;
  kvo = kvodata_open(device_name_set ? device_name_store.c_str() : default_device_name);
  if (kvo == nullptr) {
    orvik::log_msg(err_msg, 2, "kvodata_open failed");
    return false;
  }
  KVO2_RX_POLL_TIMEOUT = kRxPollTimeout;
  orvik::log_msg(err_msg, 2, "Subscribing: RX interface mask-0x%02hx; TX interface mask-0x%02hx",
                 static_cast<unsigned short>(rx_mask), static_cast<unsigned short>(tx_mask));
  orvik::log_msg(err_msg, 2, "Poll timeouts: RX %ums; TX %ums", KVO2_RX_POLL_TIMEOUT,
                 KVO2_TX_POLL_TIMEOUT);
  if (kvodata_subscribe3(kvo, &rx_mask, &tx_mask) != 0) return false;
  orvik::log_msg(err_msg, 2, "Subscribed: RX 0x%02hx; TX 0x%02hx",
                 static_cast<unsigned short>(rx_mask), static_cast<unsigned short>(tx_mask));
  return kvodata_start(kvo) == 0;
}

// Starting time from the card's free-running clock register.
void read_card_clock() {
  if (ovkc_init("addresses.xml") != 0) {
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

void choose_start(const ovks_time_t *start, bool hw_clock, const frame_queue_t *q) {
  if (hw_clock) {
    read_card_clock();
  } else if (start != nullptr) {
    first_ts = *start;
  } else if (const frame_t *f = first_frame(q)) {
    first_ts = capture_time(f);
  }
}

// Average line rate in bits per second after total_size bytes in
// total_time.  The time is summed in single precision, as the card's
// firmware tools do, so that both agree on when a frame must wait.
double line_rate(bool report) {
  float seconds = static_cast<float>(static_cast<int32_t>(total_time.sec)) +
                  static_cast<float>(static_cast<int32_t>(total_time.nsec)) / 1e9f;
  double bits = static_cast<double>(total_size * 8);
  if (report && orvik::log_enabled(2))
    orvik::log_msg(err_msg, 2, "size / time: %f / %f", bits, seconds);
  return bits / seconds;
}

ovks_time_t bandwidth_time(float speed) {
  total_size += data_size;
  total_time.nsec += static_cast<uint32_t>(data_size * kNsecPerByte);
  normalise(total_time);
  if (orvik::log_enabled(2))
    orvik::log_msg(err_msg, 2, "total_time %is%09ins", static_cast<int32_t>(total_time.sec),
                   static_cast<int32_t>(total_time.nsec));
  double rate;
  if (avg_speed == 0) {
    // The first frame alone: bytes over its own time on the line.
    rate = data_size / (kNsecPerByte * data_size * 1e-9);
  } else {
    rate = line_rate(true);
  }
  avg_speed = static_cast<float>(rate);
  while (rate > speed) {
    total_time.nsec += kSlowdownStepNs;
    normalise(total_time);
    rate = line_rate(false);
  }
  avg_speed = static_cast<float>(rate);
  if (orvik::log_enabled(2)) orvik::log_msg(err_msg, 2, "Average speed: %f", avg_speed);
  final_time = total_time;
  add_time(final_time, first_ts);
  add_time(final_time, move_time);
  return final_time;
}

ovks_time_t transmit_time(Pacing mode, const ovks_time_t *interval, float speed,
                          const frame_queue_t *q, const frame_entry_t *e) {
  switch (mode) {
    case Pacing::kInterval:
      add_time(final_time, *interval);
      return final_time;
    case Pacing::kBandwidth:
      return bandwidth_time(speed);
    case Pacing::kCaptureGap:
      break;
  }
  add_time(final_time, ifg);
  const frame_t *next = frame_after(q, e);
  ifg = next != nullptr ? capture_gap(capture_time(e->frame), capture_time(next))
                        : ovks_time_t{0, 0};
  return final_time;
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

void set_header_time(const ovks_time_t &t) {
  memcpy(hw_data + 0, &t.sec, 4);
  memcpy(hw_data + 4, &t.nsec, 4);
}

void report_frame(const frame_t *f) {
  if (!orvik::log_enabled(1)) return;
  orvik::log_msg(err_msg, 1, "Timestamp: %is%09ins", f->header->ts_sec, f->header->ts_usec);
  orvik::log_msg(err_msg, 1, "Length of portion: %u", f->header->incl_len);
  orvik::log_msg(err_msg, 1, "Length of packet: %u", f->header->orig_len);
}

void report_header(const ovks_time_t &t) {
  if (!orvik::log_enabled(0)) return;
  orvik::log_msg(err_msg, 0, "%4u Size: %5uB Timestamp: %us%09uns",
                 static_cast<unsigned>(ovks_packet_sent + ovks_packet_dropped), data_size, t.sec,
                 t.nsec);
}

// Offers the frame until the device takes it.  A device that cannot take
// it yet is polled and offered it again; a refusal, a poll error or a poll
// that times out drops the frame.
bool hand_over() {
  for (;;) {
    int r = kvodata_prepare_and_try_write_next(kvo, hw_data, hw_data_size, data, data_size,
                                               interface);
    if (r == 0) return true;
    if (r != 1) {
      orvik::log_msg(err_msg, 2, "kvodata_prepare_and_try_write_next error");
      return false;
    }
    uint16_t events = kEventWritable;
    int p = kvodata_poll(kvo, &events, KVO2_TX_POLL_TIMEOUT);
    if (p < 0) {
      fputs("Poll error", stderr);
      return false;
    }
    if (p == 0 || (events & kEventWritable) == 0) return false;
  }
}

struct SendArgs {
  const ovks_time_t *start, *interval, *move;
  bool hw_clock;
  uint32_t repeat;
  uint8_t flag;
  bool dry_run;
  float speed;
};

// A card clock that has no time register leaves first_ts as the last send
// left it (zero in a fresh process).
void reset_pacing(const SendArgs &a, const frame_queue_t *q) {
  choose_start(a.start, a.hw_clock, q);
  total_size = 0;
  total_time = {0, 0};
  avg_speed = 0;
  move_time = a.move != nullptr ? *a.move : ovks_time_t{0, 0};
  final_time = first_ts;
  add_time(final_time, move_time);
  ifg = {0, 0};
  ovks_packet_sent = 0;
  ovks_packet_dropped = 0;
}

void send_frames(const SendArgs &a, const frame_queue_t *q) {
  Pacing mode = a.interval != nullptr ? Pacing::kInterval
                : a.speed > 0         ? Pacing::kBandwidth
                                      : Pacing::kCaptureGap;
  hw_data[8] = a.flag;
  memcpy(hw_data + 9, &a.repeat, 4);
  for (const frame_entry_t *e = q->first; e != reinterpret_cast<const frame_entry_t *>(q);
       e = e->next) {
    // The store lays its frames out one after another, so the walk is a
    // chain of cache misses unless memory ahead is asked for early.  A
    // prefetch never faults: with another layout only the hint is lost.
    __builtin_prefetch(reinterpret_cast<const char *>(e) + kPrefetchAhead);
    const frame_t *f = e->frame;
    if (f == nullptr) continue;
    data = f->payload;
    data_size = static_cast<uint32_t>(f->payload_size);
    report_frame(f);
    ovks_time_t t = transmit_time(mode, a.interval, a.speed, q, e);
    if (a.flag & 1) t = to_card_clock(t);
    set_header_time(t);
    report_header(t);
    if (a.dry_run || hand_over())
      ++ovks_packet_sent;
    else
      ++ovks_packet_dropped;
  }
}

// The counts of the last send stay until this one has its device and
// starts counting: a send that fails early leaves them as they were.
int send(const char *path, const SendArgs &a) {
  FrameStoreGuard store;
  if (int rc = load_frames(path); rc != 0) return rc >= kFirstRefusal ? rc : 1;
  const frame_queue_t *q = ovke_get_frames();
  DeviceGuard device;
  if (!a.dry_run && !open_device()) return 1;
  reset_pacing(a, q);
  send_frames(a, q);
  return 0;
}

}  // namespace

extern "C" {

ORVIK_EXPORT int ovks_init(void) {
  device_name_set = false;
  interface = 0;
  rx_mask_setting = kDefaultRxMask;
  tx_mask_setting = kDefaultTxMask;
  return 0;
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

ORVIK_EXPORT int ovks_send(const char *path, const ovks_time_t *start,
                           const ovks_time_t *interval, const ovks_time_t *move,
                           uint8_t hw_clock, uint32_t repeat, uint8_t flag, uint8_t dry_run,
                           float speed) {
  try {
    return send(path, SendArgs{start, interval, move, hw_clock != 0, repeat, flag,
                               dry_run != 0, speed});
  } catch (...) {
    return 1;
  }
}

ORVIK_EXPORT void ovks_free(void) {}

}  // extern "C"
