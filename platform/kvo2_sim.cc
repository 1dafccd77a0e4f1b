// Stand-in for the platform's streaming library: a simulated transmit path.
//
// The "device" is a nanosecond PCAP file named by KVO2_SIM_OUT.  Every frame
// the device takes becomes one record stamped with the transmit time of its
// header, so a replay can be checked by reading the file back.  KVO2_SIM_LOG
// adds a text line per frame with the header fields the PCAP cannot hold,
// and KVO2_SIM_BUSY_EVERY / KVO2_SIM_FAIL_EVERY inject refusals.
#include "kvo2.h"

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
constexpr uint32_t kHeaderLen = 13;
constexpr uint32_t kInterfaceMask = 0x0F;  // four interfaces on the card
constexpr uint16_t kEventWritable = 4;
// A replay writes millions of small records; a large buffer keeps the
// simulated device from costing a system call per frame.
constexpr size_t kOutBufferSize = 4 << 20;

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

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

struct kvodata {
  // Declared before out so that it is released after out's last flush.
  std::unique_ptr<char[]> buffer;
  FilePtr out;
  FilePtr log;
  unsigned long busy_every = 0;
  unsigned long fail_every = 0;
  unsigned long attempts = 0;

  // 0 taken, 1 not now, 2 error.
  int take(const unsigned char *header, const void *payload, uint32_t len, uint16_t iface);
};

int kvodata::take(const unsigned char *header, const void *payload, uint32_t len,
                  uint16_t iface) {
  uint32_t sec, nsec, repeat;
  memcpy(&sec, header + 0, 4);
  memcpy(&nsec, header + 4, 4);
  memcpy(&repeat, header + 9, 4);
  const unsigned flag = header[8];

  unsigned char rec[16];
  memcpy(rec + 0, &sec, 4);
  memcpy(rec + 4, &nsec, 4);
  memcpy(rec + 8, &len, 4);
  memcpy(rec + 12, &len, 4);
  // Only this thread writes the file: the unlocked calls spare a lock per
  // record, which is noticeable at millions of frames.
  if (fwrite_unlocked(rec, sizeof rec, 1, out.get()) != 1) return 2;
  if (len > 0 && fwrite_unlocked(payload, len, 1, out.get()) != 1) return 2;
  if (log) {
    fprintf(log.get(), "iface=%u flag=%u repeat=%u time=%us%09uns len=%u\n",
            static_cast<unsigned>(iface), flag, repeat, sec, nsec, len);
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
    kvo->buffer.reset(new char[kOutBufferSize]);
    setvbuf(kvo->out.get(), kvo->buffer.get(), _IOFBF, kOutBufferSize);
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
  if (kvo == nullptr || header == nullptr || header_len < kHeaderLen) return 2;
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
