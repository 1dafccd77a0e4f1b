// Capture formats: every format loads to the same frames, refusals leave
// the list as it was, saves write what the frames hold, and an input cut
// short under the store ends cleanly.
#include "capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "frames.h"
#include "test_util.h"
#include "tessel.h"

namespace {

using namespace orvik_test;

// Reads of one file past an offset come back empty, as from a file another
// program has just cut short there.  Reads of everything else go through.
struct ShortReads {
  ino_t file = 0;
  off_t cut = 0;
};
ShortReads short_reads;

ssize_t read_maybe_short(int fd, void *buf, size_t n, off_t off) {
  struct stat st;
  if (short_reads.file != 0 && fstat(fd, &st) == 0 && st.st_ino == short_reads.file) {
    if (off >= short_reads.cut) return 0;
    if (static_cast<off_t>(off + n) > short_reads.cut) n = static_cast<size_t>(short_reads.cut - off);
  }
  return syscall(SYS_pread64, fd, buf, n, off);
}

}  // namespace

extern "C" ssize_t pread(int fd, void *buf, size_t n, off_t off) {
  return read_maybe_short(fd, buf, n, off);
}
extern "C" ssize_t pread64(int fd, void *buf, size_t n, off_t off) {
  return read_maybe_short(fd, buf, n, off);
}

namespace {

struct Frame {
  int64_t ns;  // capture time
  uint32_t orig_len;
  std::string data;
  bool operator==(const Frame &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Frame &f) {
  return os << "{" << f.ns << " ns, " << f.data.size() << "/" << f.orig_len << " B}";
}

// The frames in the store, times in nanoseconds by the loaded header's magic.
std::vector<Frame> frames_now(uint32_t magic) {
  std::vector<Frame> v;
  frame_queue_t *q = ovke_get_frames();
  int64_t unit = magic == orvik::frames::kMicrosecondMagic ? 1000 : 1;
  for (frame_entry_t *e = q->first; e != (frame_entry_t *)q; e = e->next) {
    const pcaprec_hdr_t *h = e->frame->header;
    EXPECT_EQ(h->incl_len, static_cast<uint32_t>(e->frame->payload_size));
    v.push_back({h->ts_sec * int64_t{1000000000} + h->ts_usec * unit, h->orig_len,
                 std::string(reinterpret_cast<char *>(e->frame->payload), h->incl_len)});
  }
  return v;
}

// pcapng writer for hand-built cases, either byte order.
struct Pcapng {
  bool big = false;
  std::string out;

  void u16(uint16_t v) { put(&v, 2); }
  void u32(uint32_t v) { put(&v, 4); }
  void put(const void *p, size_t n) {
    std::string s(static_cast<const char *>(p), n);
    if (big) std::reverse(s.begin(), s.end());
    out += s;
  }
  void block(uint32_t type, const std::string &body) {
    u32(type);
    u32(static_cast<uint32_t>(12 + body.size()));
    out += body;
    u32(static_cast<uint32_t>(12 + body.size()));
  }
  // Builds a body with this writer's byte order.
  template <typename Fn>
  std::string body(Fn fn) {
    std::string saved;
    saved.swap(out);
    fn();
    saved.swap(out);
    return saved;
  }
  static std::string padded(std::string s) {
    s.resize((s.size() + 3) & ~size_t{3}, '\0');
    return s;
  }
  Pcapng &section() {
    block(0x0A0D0D0A, body([&] {
            u32(0x1A2B3C4D);
            u16(1), u16(0);
            u32(0xffffffff), u32(0xffffffff);  // section length unknown
          }));
    return *this;
  }
  Pcapng &interface(uint16_t link, int tsresol = -1) {
    block(1, body([&] {
            u16(link), u16(0), u32(0);
            if (tsresol >= 0) u16(9), u16(1), out += padded(std::string(1, char(tsresol)));
            u16(0), u16(0);
          }));
    return *this;
  }
  Pcapng &epb(uint32_t iface, uint64_t units, const std::string &data, uint32_t orig) {
    block(6, body([&] {
            u32(iface), u32(static_cast<uint32_t>(units >> 32)), u32(static_cast<uint32_t>(units));
            u32(static_cast<uint32_t>(data.size())), u32(orig);
            out += padded(data);
          }));
    return *this;
  }
  Pcapng &opb(const std::string &data, uint64_t units) {
    block(2, body([&] {
            u16(0), u16(0), u32(static_cast<uint32_t>(units >> 32)),
                u32(static_cast<uint32_t>(units));
            u32(static_cast<uint32_t>(data.size())), u32(static_cast<uint32_t>(data.size()));
            out += padded(data);
          }));
    return *this;
  }
  Pcapng &spb(const std::string &data) {
    block(3, body([&] {
            u32(static_cast<uint32_t>(data.size()));
            out += padded(data);
          }));
    return *this;
  }
  Pcapng &other() {
    block(5, std::string(8, 'x'));  // interface statistics: skipped
    return *this;
  }
};

class CaptureTest : public testing::Test {
 protected:
  void SetUp() override { ovke_init(); }
  void TearDown() override { ovke_free(); }

  std::string write(const std::string &bytes) {
    std::string path = dir_.file("in-" + std::to_string(n_++));
    write_file(path, bytes);
    return path;
  }
  int load(const std::string &bytes) { return load_path(write(bytes)); }
  int load_path(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    int rc = ovke_load_file(&f);
    fclose(f);
    return rc;
  }
  std::string save() {
    std::string out = dir_.file("out");
    EXPECT_EQ(ovke_save_file(out.c_str()), OVKE_OK);
    return read_file(out);
  }

  // Temporary files of saves left in the directory.
  int temporary_files() const {
    int n = 0;
    for (const auto &f : std::filesystem::directory_iterator(dir_.path()))
      n += f.path().filename().string().rfind(".orvik-save", 0) == 0;
    return n;
  }

  TempDir dir_;
  int n_ = 0;
};

const std::string kA = frame_bytes(60, 1), kB = frame_bytes(1514, 2), kC = frame_bytes(7, 3);

TEST_F(CaptureTest, EveryFormatLoadsTheSameFrames) {
  const std::vector<Frame> want = {{1000000000, 60, kA}, {2500000000, 1514, kB}, {2500001000, 9, kC}};
  PcapGlobal ns;
  ns.magic = orvik::frames::kNanosecondMagic;
  std::string us_file = pcap_global_header() + pcap_record(1, 0, kA) + pcap_record(2, 500000, kB) +
                        pcap_record(2, 500001, kC, 9);
  std::string ns_file = pcap_global_header(ns) + pcap_record(1, 0, kA) +
                        pcap_record(2, 500000000, kB) + pcap_record(2, 500001000, kC, 9);
  auto ng = [](bool big, int tsresol, uint64_t per_sec) {
    Pcapng p;
    p.big = big;
    p.section().interface(1, tsresol).other();
    p.epb(0, per_sec, kA, 60).epb(0, per_sec * 5 / 2, kB, 1514);
    p.section().interface(1, tsresol).epb(0, per_sec * 2500001 / 1000000, kC, 9);
    return p.out;
  };
  struct Case {
    const char *name;
    std::string bytes;
    uint32_t magic;
  } cases[] = {
      {"microseconds", us_file, orvik::frames::kMicrosecondMagic},
      {"nanoseconds", ns_file, orvik::frames::kNanosecondMagic},
      {"big-endian microseconds", pcap_swapped(us_file), orvik::frames::kMicrosecondMagic},
      {"big-endian nanoseconds", pcap_swapped(ns_file), orvik::frames::kNanosecondMagic},
      {"pcapng default resolution", ng(false, -1, 1000000), orvik::frames::kNanosecondMagic},
      {"pcapng nanoseconds", ng(false, 9, 1000000000), orvik::frames::kNanosecondMagic},
      {"pcapng 2^-20 s", ng(false, 0x80 | 20, 1 << 20), orvik::frames::kNanosecondMagic},
      {"pcapng big-endian", ng(true, 9, 1000000000), orvik::frames::kNanosecondMagic},
  };
  for (const auto &c : cases) {
    ovke_init();
    ASSERT_EQ(load(c.bytes), 0) << c.name;
    std::vector<Frame> got = frames_now(c.magic);
    // 2^-20 s units cannot hold every microsecond: compare to the nanosecond below.
    if (std::string(c.name) == "pcapng 2^-20 s") got[2].ns = want[2].ns;
    EXPECT_EQ(got, want) << c.name;
    // The save is a classic host-order file of the same frames.
    std::string saved = save();
    ovke_init();
    ASSERT_EQ(load(saved), 0) << c.name;
    uint32_t magic;
    memcpy(&magic, saved.data(), 4);
    EXPECT_EQ(magic, c.magic) << c.name;
    std::vector<Frame> again = frames_now(c.magic);
    if (std::string(c.name) == "pcapng 2^-20 s") again[2].ns = want[2].ns;
    EXPECT_EQ(again, want) << c.name;
  }
}

TEST_F(CaptureTest, OtherPcapngBlocksAndSimplePackets) {
  Pcapng p;
  p.section().interface(105, 9).opb(kA, 3000000007).spb(kC).other();
  ASSERT_EQ(load(p.out), 0);
  EXPECT_EQ(frames_now(0), (std::vector<Frame>{{3000000007, 60, kA}, {0, 7, kC}}));
  std::string saved = save();
  pcap_hdr_t g;
  memcpy(&g, saved.data(), sizeof g);
  EXPECT_EQ(g.network, 105u);
  EXPECT_EQ(g.snaplen, orvik::frames::kDefaultSnaplen);
}

// What cannot be loaded leaves the list as the loads before left it.
TEST_F(CaptureTest, RefusedAndCutInputs) {
  Pcapng mixed;
  mixed.section().interface(1).epb(0, 5, kA, 60).interface(105).epb(1, 6, kB, 1514);
  Pcapng cut;
  cut.section().interface(1).epb(0, 5, kA, 60).epb(0, 6, kB, 1514);
  struct Case {
    const char *name;
    std::string bytes;
    int rc;
    size_t frames_added;
    const char *message;
  } cases[] = {
      {"text", "hello, world\n", 3, 0, "is neither a PCAP nor a pcapng capture"},
      {"zero magic", std::string(40, '\0'), 3, 0, "is neither a PCAP nor a pcapng capture"},
      {"three bytes", "\xd4\xc3\xb2", 1, 0, "Unexpected end of file"},
      {"mixed link types", mixed.out, 4, 0, "interfaces of different link types"},
      {"pcapng cut in a block", cut.out.substr(0, cut.out.size() - 5), 0, 1, ""},
      {"pcapng cut in its section header", cut.out.substr(0, 20), 1, 0, "Unexpected end of file"},
      {"big-endian cut in a payload",
       pcap_swapped(pcap_global_header() + pcap_record(1, 0, kA) + pcap_record(2, 0, kB))
           .substr(0, 24 + 76 + 100), 0, 1, ""},
  };
  for (const auto &c : cases) {
    ovke_init();
    ASSERT_EQ(load(pcap_global_header() + pcap_record(1, 0, kC)), 0);
    std::string path = write(c.bytes);
    testing::internal::CaptureStderr();
    int saved = verbose;
    verbose = 2;
    EXPECT_EQ(load_path(path), c.rc) << c.name;
    verbose = saved;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(frames_now(0).size(), 1 + c.frames_added) << c.name;
    if (c.rc >= 3) {
      EXPECT_NE(err.find(path), std::string::npos) << c.name << ": " << err;
    }
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
    // A refused file holds no frame: another program changing it later
    // does not fail the save of the frames loaded before.
    if (c.rc != 0) {
      write_file(path, c.bytes + "changed");
      EXPECT_EQ(save(), pcap_global_header() + pcap_record(1, 0, kC)) << c.name;
    }
  }
}

// A length no frame can have ends the load; the frames before it save with
// their own file's global header.
TEST_F(CaptureTest, ImpossibleLengthKeepsTheLoadedHeader) {
  PcapGlobal g;
  g.snaplen = 1234;
  std::string good = pcap_global_header(g) + pcap_record(1, 0, kA);
  ASSERT_EQ(load(good + pcap_record_header(2, 0, 0x80000000u, 64) + kB), 2);
  EXPECT_EQ(save(), good);
}

TEST_F(CaptureTest, PipesAreReadToTheirEnd) {
  std::string file = pcap_global_header() + pcap_record(1, 0, kA) + pcap_record(2, 0, kB);
  std::string path = write(file);
  FILE *f = popen(("cat " + path).c_str(), "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ovke_load_file(&f), OVKE_OK);
  pclose(f);
  EXPECT_EQ(frames_now(0).size(), 2u);
  EXPECT_EQ(save(), file);
}

// A large capture is walked from its start and, on a second thread, from a
// record boundary guessed near its middle.  Whatever the guess and
// wherever the capture goes wrong, the frames are those of one walk from
// the start: in order, none twice, none lost.
TEST_F(CaptureTest, LargeCapturesLoadTheSameFramesWhereverTheyAreSplit) {
  constexpr size_t kHalf = size_t{9} << 20;  // two halves above the size that splits a load
  constexpr uint32_t kBig = 200000;
  struct Built {
    std::string file = pcap_global_header();
    std::vector<Frame> frames;
    size_t last_at = 0;
    int32_t frac = 7;  // microseconds
    void add(int32_t sec, const std::string &data) {
      last_at = file.size();
      file += pcap_record(sec, frac, data);
      frames.push_back({sec * int64_t{1000000000} + frac * int64_t{1000},
                        static_cast<uint32_t>(data.size()), data});
    }
    void fill_to(size_t size) {
      for (int i = 0; file.size() < size; ++i) add(i, frame_bytes(60 + i % 1400, i));
    }
  };
  // Equal halves around one big frame put the middle inside its payload;
  // there, records that look sound but lie inside the payload are the
  // boundary to guess.
  Built decoy;
  decoy.fill_to(kHalf);
  size_t big_at = decoy.file.size();
  std::string payload(kBig, '\xff');
  std::string fake;
  for (int i = 0; i < 12; ++i) fake += pcap_record(1, 0, std::string(20, 'f'));
  payload.replace(kBig / 2 + 500, fake.size(), fake);
  decoy.add(5, payload);
  Built rest;
  rest.fill_to(big_at);
  decoy.file += rest.file.substr(24);
  decoy.frames.insert(decoy.frames.end(), rest.frames.begin(), rest.frames.end());
  ASSERT_LT(decoy.file.size() / 2 - big_at, size_t{kBig});

  Built plain;
  plain.fill_to(2 * kHalf);
  // Fractions past a second make true records look unsound, and payloads
  // starting with ff bytes make them sound when read 4 bytes late: the
  // guess lands inside a record header.
  Built late;
  late.frac = 2000000;
  for (int i = 0; late.file.size() < 2 * kHalf; ++i)
    late.add(i, "\xff\xff\xff\xff" + frame_bytes(60 + i % 1400, i));
  std::string cut_last = plain.file.substr(0, plain.file.size() - 3);
  std::vector<Frame> all_but_last(plain.frames.begin(), plain.frames.end() - 1);
  std::string without_last = plain.file.substr(0, plain.last_at);
  std::string swapped = pcap_swapped(plain.file);
  // A length no frame can have, three quarters in: the load ends there.
  Built impossible;
  impossible.fill_to(kHalf * 3 / 2);
  std::vector<Frame> before_impossible = impossible.frames;
  impossible.file += pcap_record_header(1, 0, 0x80000000u, 64) + std::string(64, 'x');
  impossible.fill_to(2 * kHalf);

  struct Case {
    const char *name;
    const std::string &file;
    int rc;
    const std::vector<Frame> &frames;
    const std::string *saves;  // in host order; null: not saved
  } cases[] = {
      {"plain", plain.file, 0, plain.frames, &plain.file},
      {"big-endian", swapped, 0, plain.frames, &plain.file},
      {"sound-looking records in a payload at the middle", decoy.file, 0, decoy.frames,
       &decoy.file},
      {"last record cut short", cut_last, 0, all_but_last, &without_last},
      {"impossible length in the second half", impossible.file, 2, before_impossible, nullptr},
      {"boundary guessed inside a record header", late.file, 0, late.frames, &late.file},
  };
  // Each case loads as it is, with its save planned (which the load copies
  // on its way), and with payload work planned (the load fills memory of
  // its own).
  std::string out = dir_.file("out");
  for (const auto &c : cases) {
    for (unsigned plan : {0u, unsigned{OVKE_PLAN_SAVE}, unsigned{OVKE_PLAN_PAYLOADS}}) {
      ovke_init();
      ovke_plan_next_load(plan, out.c_str());
      EXPECT_EQ(load(c.file), c.rc) << c.name;
      EXPECT_TRUE(frames_now(orvik::frames::kMicrosecondMagic) == c.frames) << c.name;
      if (c.saves != nullptr) {
        EXPECT_TRUE(save() == *c.saves) << c.name << ", plan " << plan;
      }
      EXPECT_EQ(temporary_files(), 0) << c.name;
    }
  }
}

// A planned save whose frames changed after the load, or that goes
// elsewhere, writes the frames as they are, not the load's copy; a load
// that fails leaves no copy behind.
TEST_F(CaptureTest, PlannedSaveOfChangedFramesWritesThemAsTheyAre) {
  std::string g = pcap_global_header(), r1 = pcap_record(1, 0, kA), r2 = pcap_record(2, 0, kB),
              r3 = pcap_record(3, 0, kC);
  std::string file = g + r1 + r2 + r3;
  std::string changed_payload = r2;
  changed_payload[16] = 'Z';
  std::string later = r3;
  later[0] = 9;
  PcapGlobal cut;
  cut.snaplen = 100;
  std::string out = dir_.file("out"), elsewhere = dir_.file("elsewhere");
  struct Case {
    const char *name;
    std::function<void()> change;
    std::string saved;
    const std::string *path;
  } cases[] = {
      {"unchanged", [] {}, file, &out},
      {"frame removed", [] { ovke_remove_frame(0); }, g + r2 + r3, &out},
      {"frame cloned", [] { ovke_clone_frame(2, 0); }, g + r3 + r1 + r2 + r3, &out},
      {"payload byte", [] { ovke_get_frames()->first->next->frame->payload[0] = 'Z'; },
       g + r1 + changed_payload + r3, &out},
      {"header field", [] { ovke_get_frames()->last->frame->header->ts_sec = 9; },
       g + r1 + r2 + later, &out},
      {"snapshot length", [] { ovke_set_snaplen(100); },
       pcap_global_header(cut) + r1 + pcap_record_header(2, 0, 100, 1514) + kB.substr(0, 100) + r3,
       &out},
      {"saved elsewhere", [] {}, file, &elsewhere},
  };
  for (const auto &c : cases) {
    ovke_init();
    ovke_plan_next_load(OVKE_PLAN_SAVE, out.c_str());
    ASSERT_EQ(load(file), 0) << c.name;
    c.change();
    ASSERT_EQ(ovke_save_file(c.path->c_str()), OVKE_OK) << c.name;
    EXPECT_TRUE(read_file(*c.path) == c.saved) << c.name;
    EXPECT_EQ(temporary_files(), 0) << c.name;
  }
  ovke_plan_next_load(OVKE_PLAN_SAVE, out.c_str());
  EXPECT_EQ(load("not a capture at all"), OVKE_LOAD_UNKNOWN_FORMAT);
  EXPECT_EQ(temporary_files(), 0);

  // A relative path names the file of the directory current at the save.
  std::string sub = dir_.file("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  std::string was = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  ovke_init();
  ovke_plan_next_load(OVKE_PLAN_SAVE, "rel.pcap");
  ASSERT_EQ(load(file), 0);
  ASSERT_EQ(chdir(sub.c_str()), 0);
  EXPECT_EQ(ovke_save_file("rel.pcap"), OVKE_OK);
  ASSERT_EQ(chdir(was.c_str()), 0);
  EXPECT_TRUE(read_file(sub + "/rel.pcap") == file);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("rel.pcap")));
}

// A stream the caller has read into already loads from where it stands,
// under every plan.
TEST_F(CaptureTest, PlansFollowTheStreamsPosition) {
  std::string capture = pcap_global_header() + pcap_record(1, 0, kA) + pcap_record(2, 0, kB);
  std::string path = write("prefix--" + capture), out = dir_.file("out");
  for (unsigned plan : {0u, unsigned{OVKE_PLAN_SAVE}, unsigned{OVKE_PLAN_PAYLOADS}}) {
    ovke_init();
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_EQ(fseek(f, 8, SEEK_SET), 0);
    ovke_plan_next_load(plan, out.c_str());
    EXPECT_EQ(ovke_load_file(&f), OVKE_OK) << plan;
    fclose(f);
    EXPECT_EQ(frames_now(0).size(), 2u) << plan;
    EXPECT_TRUE(save() == capture) << plan;
  }
}

// A file cut short while a load fills memory from it: the frames kept are
// whole, never filled with what the file no longer holds (the frame across
// the end of what was read goes), whichever walk meets the end.  The
// capture is large enough for two walkers, and reads past the cut come
// back empty as they do from a file another program just cut.
TEST_F(CaptureTest, FileCutShortWhileFillingKeepsWholeFrames) {
  std::string file = pcap_global_header();
  std::vector<std::string> payloads;
  for (int i = 0; i < 150000; ++i) {
    payloads.push_back(frame_bytes(101, i));  // records that do not tile a read window
    file += pcap_record(i, 0, payloads.back());
  }
  const std::string path = write(file);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  for (off_t cut : {off_t{1} << 20, static_cast<off_t>(file.size() * 3 / 4)}) {
    ovke_init();
    const size_t whole = static_cast<size_t>(cut - 24) / (16 + 101);
    short_reads = {st.st_ino, cut};
    ovke_plan_next_load(OVKE_PLAN_PAYLOADS, nullptr);
    EXPECT_EQ(load_path(path), OVKE_OK);
    short_reads = {};
    size_t n = 0;
    for (frame_entry_t *e = ovke_get_frames()->first; e != (frame_entry_t *)ovke_get_frames();
         e = e->next, ++n)
      ASSERT_EQ(std::string(reinterpret_cast<char *>(e->frame->payload), 101), payloads[n]) << n;
    EXPECT_EQ(n, whole) << cut;
  }
}

// Load progress: a pipe reports the bytes read while its size is unknown,
// the walk reports every 65536 frames where it stands, and the end of the
// load reports it whole.  Unset, nothing is called.
TEST_F(CaptureTest, LoadProgressFollowsReadingAndWalking) {
  struct Call {
    uint64_t bytes, size, frames;
    bool operator==(const Call &) const = default;
  };
  std::vector<Call> calls;
  auto record = [](uint64_t bytes, uint64_t size, uint64_t frames, void *arg) {
    static_cast<std::vector<Call> *>(arg)->push_back({bytes, size, frames});
  };
  std::string file = pcap_global_header();
  for (int i = 0; i < 70000; ++i) file += pcap_record(i, 0, std::string(300, 'x'));
  const uint64_t size = file.size(), frame_65536 = 24 + 65535 * 316 + 16;
  const std::vector<Call> walk = {{frame_65536, size, 65536}, {size, size, 70000}};
  std::string path = write(file);
  ovke_set_load_progress(record, &calls);

  ASSERT_EQ(load_path(path), OVKE_OK);
  EXPECT_EQ(calls, walk);

  calls.clear();
  ovke_init();
  FILE *f = popen(("cat " + path).c_str(), "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ovke_load_file(&f), OVKE_OK);
  pclose(f);
  ASSERT_EQ(calls.size(), 3u);  // 16 MiB read, then the walk
  EXPECT_EQ(calls[0].size, 0u);
  EXPECT_GE(calls[0].bytes, uint64_t{16} << 20);
  EXPECT_EQ(std::vector<Call>(calls.begin() + 1, calls.end()), walk);

  calls.clear();
  ovke_set_load_progress(nullptr, nullptr);
  ovke_init();
  ASSERT_EQ(load_path(path), OVKE_OK);
  EXPECT_TRUE(calls.empty());
}

// Frames saved from the input in runs must still carry every change made
// in memory: payload bytes (also deep inside a long run, where the save
// copies through the kernel), cut lengths, removed and copied frames.
TEST_F(CaptureTest, SaveWritesWhatTheFramesHold) {
  std::string file = pcap_global_header();
  std::vector<std::string> data;
  for (int i = 0; i < 3000; ++i) {
    data.push_back(frame_bytes(200 + i % 300, i));
    file += pcap_record(i, 0, data.back());
  }
  ASSERT_EQ(load(file), 0);
  auto entry = [](int n) {
    frame_entry_t *e = ovke_get_frames()->first;
    while (n-- > 0) e = e->next;
    return e;
  };
  entry(2000)->frame->payload[5] ^= 0xff;
  data[2000][5] ^= static_cast<char>(0xff);
  frame_t *cut = entry(2500)->frame;
  cut->payload_size = 10;
  cut->header->incl_len = 10;
  data[2500].resize(10);
  ASSERT_EQ(ovke_remove_frame_interval(100, 199), OVKE_OK);
  data.erase(data.begin() + 100, data.begin() + 200);
  ASSERT_EQ(ovke_clone_frame(0, 50), OVKE_OK);
  data.insert(data.begin() + 50, data[0]);
  std::string saved = save();
  ovke_init();
  ASSERT_EQ(load(saved), 0);
  std::vector<Frame> got = frames_now(0);
  ASSERT_EQ(got.size(), data.size());
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(got[i].data, data[i]) << i;
}

// Frames saved one by one come from the file only while their bytes are
// unchanged in memory.
TEST_F(CaptureTest, ChangedPayloadsOfConvertedFramesAreSaved) {
  Pcapng ng;
  ng.section().interface(1, 9);
  std::string swapped = pcap_global_header();
  for (int i = 0; i < 50; ++i) {
    ng.epb(0, i, frame_bytes(3000, i), 3000);
    swapped += pcap_record(i, 0, frame_bytes(3000, i));
  }
  for (const std::string &file : {ng.out, pcap_swapped(swapped)}) {
    ovke_init();
    ASSERT_EQ(load(file), 0);
    frame_entry_t *e = ovke_get_frames()->first;
    for (int i = 0; i < 40; ++i) e = e->next;
    e->frame->payload[0] ^= 0x5a;  // every page of the frame changed
    e->frame->payload[2999] ^= 0x5a;
    std::string saved = save();
    ovke_init();
    ASSERT_EQ(load(saved), 0);
    std::vector<Frame> got = frames_now(0);
    ASSERT_EQ(got.size(), 50u);
    for (int i = 0; i < 50; ++i) {
      std::string want = frame_bytes(3000, i);
      if (i == 40) want[0] ^= 0x5a, want[2999] ^= 0x5a;
      EXPECT_TRUE(got[i].data == want) << i;
    }
  }
}

// Another program cuts the input short while it is loaded: a save fails
// and leaves its target; touching a lost payload ends the process with a
// message instead of a crash.
TEST_F(CaptureTest, InputCutShortWhileLoaded) {
  std::string file = pcap_global_header();
  for (int i = 0; i < 200; ++i) file += pcap_record(i, 0, frame_bytes(1000, i));
  std::string path = write(file);
  ASSERT_EQ(load_path(path), 0);
  ASSERT_EQ(truncate(path.c_str(), 4096), 0);
  std::string out = dir_.file("keep");
  write_file(out, "precious");
  errno = 0;
  EXPECT_EQ(ovke_save_file(out.c_str()), OVKE_SAVE_FAILED);
  EXPECT_EQ(errno, ESTALE);
  EXPECT_EQ(read_file(out), "precious");
  EXPECT_EXIT(
      {
        uint8_t sum = 0;
        for (frame_entry_t *e = ovke_get_frames()->first; e != (frame_entry_t *)ovke_get_frames();
             e = e->next)
          sum += e->frame->payload[999];
        exit(sum == 255 ? 3 : 2);
      },
      testing::ExitedWithCode(1), "was cut short or changed by another program");
}

// Loaded into memory of the store's own (planned payload work), the frames
// keep their bytes when the file is cut short; the save still refuses.
// The last payload is longer than a read window.
TEST_F(CaptureTest, PayloadsLoadedIntoMemoryOutliveTheFile) {
  std::vector<std::string> payloads;
  for (int i = 0; i < 200; ++i) payloads.push_back(frame_bytes(1000, i));
  payloads.push_back(frame_bytes(300000, 7));
  std::string classic = pcap_global_header();
  Pcapng ng;
  ng.section().interface(1);
  for (size_t i = 0; i < payloads.size(); ++i) {
    classic += pcap_record(static_cast<int32_t>(i), 0, payloads[i]);
    ng.epb(0, i, payloads[i], static_cast<uint32_t>(payloads[i].size()));
  }
  for (const std::string *file : {&classic, &ng.out}) {
    ovke_init();
    std::string path = write(*file);
    ovke_plan_next_load(OVKE_PLAN_PAYLOADS, nullptr);
    ASSERT_EQ(load_path(path), 0);
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    size_t n = 0;
    for (frame_entry_t *e = ovke_get_frames()->first; e != (frame_entry_t *)ovke_get_frames();
         e = e->next, ++n)
      EXPECT_TRUE(n < payloads.size() &&
                  std::string(reinterpret_cast<char *>(e->frame->payload),
                              static_cast<size_t>(e->frame->payload_size)) == payloads[n])
          << n;
    EXPECT_EQ(n, payloads.size());
    errno = 0;
    EXPECT_EQ(ovke_save_file(dir_.file("out").c_str()), OVKE_SAVE_FAILED);
    EXPECT_EQ(errno, ESTALE);
  }
}

TEST(PcapngTimeTest, ResolutionsConvertToNanoseconds) {
  struct Case {
    uint64_t units;
    uint8_t tsresol;
    uint64_t ns;
  } cases[] = {
      {1234567, 6, 1234567000},        {1234567, 9, 1234567},
      {1234567, 3, 1234567000000},     {1234567890123, 12, 1234567890},
      {3 << 20, 0x80 | 20, 3000000000}, {uint64_t{1} << 40, 0x80 | 30, 1024000000000},
      {5, 0x80 | 64, 0},               {5, 25, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(orvik::frames::pcapng_nanoseconds(c.units, c.tsresol), c.ns)
        << c.units << " at " << int(c.tsresol);
}

}  // namespace
