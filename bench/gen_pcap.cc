// gen_pcap: writes a synthetic PCAP capture (microsecond timestamps,
// Ethernet link type) for the benchmarks.
//
//   gen_pcap OUT mixed BYTES   frames of 64 to 1518 bytes, cycling, until the
//                              file holds about BYTES bytes
//   gen_pcap OUT small COUNT   COUNT frames of 64 bytes
//
// Frames carry made-up Ethernet addresses and varying bytes; timestamps
// advance by 10 microseconds a frame.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

namespace {

constexpr uint32_t kMinFrame = 64;
constexpr uint32_t kMaxFrame = 1518;

void usage() {
  fputs("Usage: gen_pcap OUT mixed BYTES   (frames of 64 to 1518 bytes, about BYTES in all)\n"
        "       gen_pcap OUT small COUNT   (COUNT frames of 64 bytes)\n",
        stderr);
}

bool parse_count(const char *s, unsigned long long *out) {
  char *end = nullptr;
  errno = 0;
  *out = strtoull(s, &end, 0);
  return errno == 0 && end != s && *end == '\0';
}

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

class Writer {
 public:
  explicit Writer(FILE *f) : f_(f), frame_(kMaxFrame) {
    for (size_t i = 0; i < frame_.size(); ++i) frame_[i] = static_cast<uint8_t>(i * 13 + 7);
  }

  bool header() {
    struct {
      uint32_t magic = 0xa1b2c3d4;
      uint16_t major = 2, minor = 4;
      int32_t zone = 0;
      uint32_t sigfigs = 0, snaplen = 65535, network = 1;
    } g;
    return fwrite(&g, sizeof g, 1, f_) == 1;
  }

  bool frame(uint32_t len) {
    uint32_t rec[4] = {static_cast<uint32_t>(1700000000 + usec_ / 1000000),
                       static_cast<uint32_t>(usec_ % 1000000), len, len};
    usec_ += 10;
    memcpy(frame_.data(), &count_, sizeof count_);  // the bytes differ frame to frame
    ++count_;
    return fwrite(rec, sizeof rec, 1, f_) == 1 && fwrite(frame_.data(), len, 1, f_) == 1;
  }

 private:
  FILE *f_;
  std::vector<uint8_t> frame_;
  uint64_t usec_ = 0;
  uint64_t count_ = 0;
};

bool generate(Writer &w, bool mixed, unsigned long long amount) {
  if (!w.header()) return false;
  if (!mixed) {
    for (unsigned long long i = 0; i < amount; ++i)
      if (!w.frame(kMinFrame)) return false;
    return true;
  }
  unsigned long long written = 24;
  for (uint32_t len = kMinFrame; written < amount; len = len == kMaxFrame ? kMinFrame : len + 1) {
    if (!w.frame(len)) return false;
    written += 16 + len;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  unsigned long long amount = 0;
  bool mixed = argc == 4 && strcmp(argv[2], "mixed") == 0;
  bool small = argc == 4 && strcmp(argv[2], "small") == 0;
  if ((!mixed && !small) || !parse_count(argv[3], &amount)) {
    usage();
    return 2;
  }
  std::unique_ptr<FILE, FileCloser> f(fopen(argv[1], "wb"));
  if (!f) {
    fprintf(stderr, "gen_pcap: cannot create %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  static char buf[1 << 20];
  setvbuf(f.get(), buf, _IOFBF, sizeof buf);
  Writer w(f.get());
  bool ok = generate(w, mixed, amount);
  if (fclose(f.release()) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "gen_pcap: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
