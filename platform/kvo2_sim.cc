// Stand-in for the platform's streaming library: a simulated transmit path.
//
// The "device" is a nanosecond PCAP file named by KVO2_SIM_OUT.  Every frame
// the device takes becomes one record stamped with the transmit time of its
// header, so a replay can be checked by reading the file back.  KVO2_SIM_LOG
// adds a text line per frame with the header fields the PCAP cannot hold,
// and KVO2_SIM_BUSY_EVERY / KVO2_SIM_FAIL_EVERY inject refusals.
#include "c_util.h"
#include "kvo2.h"
#include "kvo2_header.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" {
// Milliseconds, as a real device driver would count them.
uint32_t KVO2_RX_POLL_TIMEOUT = 1000;
uint32_t KVO2_TX_POLL_TIMEOUT = 1000;
}

namespace {

constexpr uint32_t kPcapNanoMagic = 0xa1b23c4d;
constexpr uint32_t kSnapLen = 65535;
constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kInterfaceMask = 0x0F;  // four interfaces on the card
constexpr uint16_t kEventWritable = 4;
// Bytes gathered before a write to the output file.
constexpr size_t kOutBufferSize = 4 << 20;

using orvik::FilePtr;

// Every N-th attempt (N from the environment, 0: never).
unsigned long every_from_env(const char *name) {
  const char *v = getenv(name);
  if (v == nullptr || *v == '\0') return 0;
  char *end = nullptr;
  unsigned long n = strtoul(v, &end, 10);
  return end == v ? 0 : n;
}

bool write_global_header(FILE *f) {
  unsigned char h[24];
  const uint32_t magic = kPcapNanoMagic, zero = 0, snap = kSnapLen, link = kLinkEthernet;
  const uint16_t major = 2, minor = 4;
  memcpy(h + 0, &magic, 4);
  memcpy(h + 4, &major, 2);
  memcpy(h + 6, &minor, 2);
  memcpy(h + 8, &zero, 4);   // thiszone
  memcpy(h + 12, &zero, 4);  // sigfigs
  memcpy(h + 16, &snap, 4);
  memcpy(h + 20, &link, 4);
  return fwrite(h, sizeof h, 1, f) == 1;
}

}  // namespace

// Records are gathered in one large buffer and written a buffer at a time:
// a replay hands over millions of small frames, and a library call per
// record and field costs more than the copy itself.
struct kvodata {
  FilePtr out;
  FilePtr log;
  std::unique_ptr<unsigned char[]> buffer;
  size_t used = 0;
  bool write_failed = false;
  unsigned long busy_every = 0;
  unsigned long fail_every = 0;
  unsigned long attempts = 0;

  ~kvodata() { flush(); }

  bool flush();
  bool append(const void *bytes, size_t n);
  // 0 taken, 1 not now, 2 error.
  int take(const unsigned char *header, const void *payload, uint32_t len, uint16_t iface);
};

bool kvodata::flush() {
  if (used > 0 && fwrite(buffer.get(), used, 1, out.get()) != 1) write_failed = true;
  used = 0;
  return !write_failed;
}

bool kvodata::append(const void *bytes, size_t n) {
  if (n == 0) return true;
  if (used + n > kOutBufferSize && !flush()) return false;
  if (n > kOutBufferSize) return fwrite(bytes, n, 1, out.get()) == 1;
  memcpy(buffer.get() + used, bytes, n);
  used += n;
  return true;
}

int kvodata::take(const unsigned char *header, const void *payload, uint32_t len,
                  uint16_t iface) {
  const kvo2_header_t h = kvo2_header_read(header);
  unsigned char rec[16];
  memcpy(rec + 0, &h.sec, 4);
  memcpy(rec + 4, &h.nsec, 4);
  memcpy(rec + 8, &len, 4);
  memcpy(rec + 12, &len, 4);
  if (!append(rec, sizeof rec) || !append(payload, len)) return 2;
  if (log) {
    fprintf(log.get(), "iface=%u flag=%u repeat=%u time=%us%09uns len=%u\n",
            static_cast<unsigned>(iface), static_cast<unsigned>(h.flag), h.repeat, h.sec, h.nsec,
            len);
  }
  return 0;
}

extern "C" {

kvodata_t *kvodata_open(const char * /*name*/) {
  const char *out_path = getenv("KVO2_SIM_OUT");
  if (out_path == nullptr || *out_path == '\0') return nullptr;
  try {
    auto kvo = std::make_unique<kvodata>();
    kvo->out.reset(fopen(out_path, "wb"));
    if (!kvo->out) return nullptr;
    kvo->buffer.reset(new unsigned char[kOutBufferSize]);
    setvbuf(kvo->out.get(), nullptr, _IONBF, 0);  // the buffer above does it
    if (!write_global_header(kvo->out.get())) return nullptr;
    const char *log_path = getenv("KVO2_SIM_LOG");
    if (log_path != nullptr && *log_path != '\0') {
      kvo->log.reset(fopen(log_path, "a"));
      if (!kvo->log) return nullptr;
    }
    kvo->busy_every = every_from_env("KVO2_SIM_BUSY_EVERY");
    kvo->fail_every = every_from_env("KVO2_SIM_FAIL_EVERY");
    return kvo.release();
  } catch (...) {
    return nullptr;
  }
}

int kvodata_subscribe3(kvodata_t *kvo, uint32_t *rx_mask, uint32_t *tx_mask) {
  if (kvo == nullptr || rx_mask == nullptr || tx_mask == nullptr) return -1;
  *rx_mask &= kInterfaceMask;
  *tx_mask &= kInterfaceMask;
  return 0;
}

int kvodata_start(kvodata_t *kvo) { return kvo == nullptr ? -1 : 0; }

int kvodata_prepare_and_try_write_next(kvodata_t *kvo, const void *header,
                                       uint32_t header_len, const void *payload,
                                       uint32_t payload_len, uint16_t iface) {
  if (kvo == nullptr || header == nullptr || header_len < KVO2_HDR_LEN) return 2;
  if (payload == nullptr && payload_len > 0) return 2;
  ++kvo->attempts;
  if (kvo->busy_every != 0 && kvo->attempts % kvo->busy_every == 0) return 1;
  if (kvo->fail_every != 0 && kvo->attempts % kvo->fail_every == 0) return 2;
  return kvo->take(static_cast<const unsigned char *>(header), payload, payload_len, iface);
}

int kvodata_poll(kvodata_t *kvo, uint16_t *events, uint32_t /*timeout*/) {
  if (kvo == nullptr || events == nullptr) return -1;
  // A device that is busy on every attempt never becomes writable: report
  // what a real poll would, a timeout, instead of waking the caller forever.
  if (kvo->busy_every == 1) {
    *events = 0;
    return 0;
  }
  *events &= kEventWritable;
  return *events != 0 ? 1 : 0;
}

void kvodata_close(kvodata_t *kvo) { delete kvo; }

}  // extern "C"
