#include "send.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <utility>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "tessel.h"
#include "test_util.h"

using orvik_test::read_file;
using orvik_test::TempDir;
using orvik_test::write_file;

namespace {

struct Frame {
  uint32_t sec;
  uint32_t nsec;
  std::string payload;
};

uint32_t u32_at(const std::string &s, size_t off) {
  uint32_t v;
  memcpy(&v, s.data() + off, 4);
  return v;
}

std::string make_pcap(const std::vector<Frame> &frames) {
  std::string s = orvik_test::pcap_global_header();
  for (const Frame &f : frames) s += orvik_test::pcap_record(f.sec, f.nsec, f.payload);
  return s;
}

std::vector<Frame> read_pcap(const std::string &path) {
  std::string s = read_file(path);
  std::vector<Frame> out;
  for (size_t off = 24; off + 16 <= s.size();) {
    uint32_t len = u32_at(s, off + 8);
    out.push_back({u32_at(s, off), u32_at(s, off + 4), s.substr(off + 16, len)});
    off += 16 + len;
  }
  return out;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string times(const std::vector<Frame> &frames) {
  std::string s;
  for (const Frame &f : frames) s += std::to_string(f.sec) + "." + std::to_string(f.nsec) + " ";
  return s;
}

std::vector<Frame> frames_of_sizes(const std::vector<size_t> &sizes) {
  std::vector<Frame> frames;
  for (size_t i = 0; i < sizes.size(); ++i)
    frames.push_back({1, static_cast<uint32_t>(i), std::string(sizes[i], static_cast<char>('a' + i))});
  return frames;
}

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KVO2_SIM_OUT", out().c_str(), 1);
    setenv("KVO2_SIM_LOG", log().c_str(), 1);
    verbose = -1;
    ovks_init();
  }
  void TearDown() override {
    for (const char *v : {"KVO2_SIM_OUT", "KVO2_SIM_LOG", "KVO2_SIM_BUSY_EVERY",
                          "KVO2_SIM_FAIL_EVERY", "LUDRA_SIM"})
      unsetenv(v);
    verbose = -1;
  }
  std::string out() const { return dir_.file("out.pcap"); }
  std::string log() const { return dir_.file("sim.log"); }
  std::string input(const std::vector<Frame> &frames) {
    std::string path = dir_.file("in.pcap");
    write_file(path, make_pcap(frames));
    return path;
  }
  int send(const std::vector<Frame> &frames, const ovks_time_t *start, const ovks_time_t *interval,
           const ovks_time_t *move = nullptr, float speed = 0, uint8_t flag = 0,
           uint32_t repeat = 0) {
    return ovks_send(input(frames).c_str(), start, interval, move, 0, repeat, flag, 0, speed);
  }

  TempDir dir_;
};

TEST_F(SendTest, IntervalModeStartsOneIntervalAfterTheStart) {
  ovks_set_output_iface("/dev/kvodataII0", 3);
  ovks_time_t start{10, 0}, interval{0, 1000};
  std::vector<Frame> in = {{1, 0, "first"}, {1, 5, "second"}, {9, 9, "third"}};
  ASSERT_EQ(send(in, &start, &interval), OVKS_OK);
  std::vector<Frame> got = read_pcap(out());
  EXPECT_EQ(times(got), "10.1000 10.2000 10.3000 ");
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].payload, in[i].payload);
  EXPECT_EQ(lines(read_file(log()))[0], "iface=3 flag=0 repeat=0 time=10s000001000ns len=5");
  EXPECT_EQ(ovks_packet_sent, 3u);
  EXPECT_EQ(ovks_packet_dropped, 0u);
  // The store is left empty.
  const frame_queue_t *q = ovke_get_frames();
  EXPECT_EQ(q->first, reinterpret_cast<const frame_entry_t *>(q));
}

TEST_F(SendTest, CaptureGapAndMovePacing) {
  struct Case {
    const char *what;
    std::vector<Frame> frames;
    bool has_start;
    ovks_time_t start;
    bool has_move;
    ovks_time_t move;
    const char *expected;
  } cases[] = {
      {"gap across a second boundary", {{5, 999999000, "a"}, {6, 1000, "b"}}, false, {}, false,
       {}, "5.999999000 6.1000 "},
      {"given start keeps the gaps", {{5, 999999000, "a"}, {6, 1000, "b"}}, true, {100, 0}, false,
       {}, "100.0 100.2000 "},
      {"move carries into the seconds", {{3, 600000000, "a"}, {3, 700000000, "b"}}, false, {},
       true, {1, 500000000}, "5.100000000 5.200000000 "},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(send(c.frames, c.has_start ? &c.start : nullptr, nullptr,
                   c.has_move ? &c.move : nullptr),
              0)
        << c.what;
    EXPECT_EQ(times(read_pcap(out())), c.expected) << c.what;
  }
}

TEST_F(SendTest, OverlongNanosecondsCarryInsteadOfWrapping) {
  ovks_time_t start{0, 999999999}, interval{0, 4000000000u};
  ASSERT_EQ(send(frames_of_sizes({10, 10}), &start, &interval), OVKS_OK);
  EXPECT_EQ(times(read_pcap(out())), "4.999999999 8.999999999 ");
}

TEST_F(SendTest, IntervalWinsOverSpeed) {
  ovks_time_t start{0, 0}, interval{0, 1000};
  ASSERT_EQ(send(frames_of_sizes({1500, 1500}), &start, &interval, nullptr, 1000.0f), OVKS_OK);
  EXPECT_EQ(times(read_pcap(out())), "0.1000 0.2000 ");
}

TEST_F(SendTest, BandwidthModeSpacesFramesByTheirTimeOnTheLine) {
  ovks_time_t start{2, 0};
  // 64 B: 50 ns, 128 B: 100 ns, 1500 B: 1171.875 -> 1171 ns.
  ASSERT_EQ(send(frames_of_sizes({64, 128, 1500}), &start, nullptr, nullptr, 1e12f), OVKS_OK);
  EXPECT_EQ(times(read_pcap(out())), "2.50 2.150 2.1321 ");
}

TEST_F(SendTest, BandwidthModeSlowsTheFirstFrameOnlyBelowItsOwnRate) {
  struct Case {
    float speed;
    uint32_t first_ns;
  } cases[] = {{1.3e9f, 50}, {1.2e9f, 2050}};
  for (const Case &c : cases) {
    ASSERT_EQ(send(frames_of_sizes({64}), nullptr, nullptr, nullptr, c.speed), OVKS_OK);
    std::vector<Frame> got = read_pcap(out());
    ASSERT_EQ(got.size(), 1u);
    // Default start: the first frame's capture time, 1 s 0 ns.
    EXPECT_EQ(got[0].sec, 1u) << c.speed;
    EXPECT_EQ(got[0].nsec, c.first_ns) << c.speed;
  }
}

TEST_F(SendTest, BandwidthModeKeepsTheAverageAtOrBelowTheLimit) {
  const float speed = 1e8f;
  ASSERT_EQ(send(frames_of_sizes({1000, 1000, 1000, 1000}), nullptr, nullptr, nullptr, speed),
            OVKS_OK);
  std::vector<Frame> got = read_pcap(out());
  ASSERT_EQ(got.size(), 4u);
  double elapsed = (got[3].sec - 1) + got[3].nsec / 1e9;
  EXPECT_LE(4000 * 8 / elapsed, speed);
  EXPECT_GT(4000 * 8 / (elapsed - 2e-6), speed);  // by no more than one step
}

TEST_F(SendTest, FlagBitZeroConvertsToTheCardClock) {
  ovks_time_t start{64, 0}, interval{0, 640};
  // 64 000 000 640 ns / 6.4 = 10 000 000 100.
  ASSERT_EQ(send(frames_of_sizes({10}), &start, &interval, nullptr, 0, 1, 3), OVKS_OK);
  EXPECT_EQ(read_file(log()), "iface=0 flag=1 repeat=3 time=10s000000100ns len=10\n");
  ASSERT_EQ(send(frames_of_sizes({10}), &start, &interval, nullptr, 0, 2, 0x01020304), OVKS_OK);
  EXPECT_EQ(lines(read_file(log()))[1],
            "iface=0 flag=2 repeat=16909060 time=64s000000640ns len=10");
}

TEST_F(SendTest, EmptyCaptureSendsNothing) {
  ASSERT_EQ(send({}, nullptr, nullptr), OVKS_OK);
  EXPECT_EQ(ovks_packet_sent, 0u);
  EXPECT_EQ(read_file(out()).size(), 24u);
}

TEST_F(SendTest, FailuresBeforeSendingGiveOne) {
  EXPECT_EQ(ovks_send(nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0), OVKS_FAILED);
  EXPECT_EQ(ovks_send(dir_.file("missing.pcap").c_str(), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0),
            OVKS_FAILED);
  write_file(dir_.file("empty"), "");
  EXPECT_EQ(ovks_send(dir_.file("empty").c_str(), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0),
            OVKS_FAILED);
  unsetenv("KVO2_SIM_OUT");
  EXPECT_EQ(send(frames_of_sizes({10}), nullptr, nullptr), OVKS_FAILED);
  const frame_queue_t *q = ovke_get_frames();
  EXPECT_EQ(q->first, reinterpret_cast<const frame_entry_t *>(q));
}

TEST_F(SendTest, SendThatFailsEarlyKeepsTheLastCounts) {
  setenv("KVO2_SIM_FAIL_EVERY", "3", 1);
  ASSERT_EQ(send(frames_of_sizes({10, 11, 12, 13}), nullptr, nullptr), OVKS_OK);
  ASSERT_EQ(ovks_packet_sent, 3u);
  ASSERT_EQ(ovks_packet_dropped, 1u);
  EXPECT_EQ(ovks_send(dir_.file("missing.pcap").c_str(), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0),
            OVKS_FAILED);
  unsetenv("KVO2_SIM_OUT");
  EXPECT_EQ(send(frames_of_sizes({10}), nullptr, nullptr), OVKS_FAILED);
  EXPECT_EQ(ovks_packet_sent, 3u);
  EXPECT_EQ(ovks_packet_dropped, 1u);
}

TEST_F(SendTest, BusyDeviceGetsEveryFrameExactlyOnceInOrder) {
  setenv("KVO2_SIM_BUSY_EVERY", "2", 1);
  std::vector<Frame> in = frames_of_sizes({10, 11, 12, 13, 14, 15, 16});
  ASSERT_EQ(send(in, nullptr, nullptr), OVKS_OK);
  std::vector<Frame> got = read_pcap(out());
  ASSERT_EQ(got.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(got[i].payload, in[i].payload) << i;
  EXPECT_EQ(ovks_packet_sent, in.size());
  EXPECT_EQ(ovks_packet_dropped, 0u);
}

TEST_F(SendTest, RefusedAndNeverTakenFramesAreDroppedNotCounted) {
  setenv("KVO2_SIM_FAIL_EVERY", "3", 1);
  ASSERT_EQ(send(frames_of_sizes({10, 11, 12, 13, 14, 15, 16, 17, 18, 19}), nullptr, nullptr),
            OVKS_OK);
  EXPECT_EQ(ovks_packet_sent, 7u);
  EXPECT_EQ(ovks_packet_dropped, 3u);
  EXPECT_EQ(read_pcap(out()).size(), 7u);

  unsetenv("KVO2_SIM_FAIL_EVERY");
  setenv("KVO2_SIM_BUSY_EVERY", "1", 1);  // the poll times out
  ASSERT_EQ(send(frames_of_sizes({10, 11}), nullptr, nullptr), OVKS_OK);
  EXPECT_EQ(ovks_packet_sent, 0u);
  EXPECT_EQ(ovks_packet_dropped, 2u);
}

TEST_F(SendTest, MasksReachTheSubscription) {
  verbose = 2;
  ovks_set_masks(0x31, 0x03);
  testing::internal::CaptureStderr();
  ASSERT_EQ(send(frames_of_sizes({10}), nullptr, nullptr), OVKS_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Subscribing: RX interface mask-0x31; TX interface mask-0x03\n"),
            std::string::npos);
  EXPECT_NE(err.find("Subscribed: RX 0x01; TX 0x03\n"), std::string::npos) << err;
  ovks_init();
  testing::internal::CaptureStderr();
  ASSERT_EQ(send(frames_of_sizes({10}), nullptr, nullptr), OVKS_OK);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Subscribed: RX 0x00; TX 0x0f\n"), std::string::npos) << err;
}

// Passes and the gap multiplier in each pacing mode: times rise from pass
// to pass and the counts and statistics cover every pass.
TEST_F(SendTest, ReplayControlsInEveryPacingMode) {
  const std::vector<Frame> in = {{5, 0, std::string(64, 'a')}, {5, 1000, std::string(128, 'b')}};
  ovks_time_t start{10, 0}, interval{0, 300};
  struct Case {
    const char *what;
    double multiplier;
    uint32_t loops;
    const ovks_time_t *interval;
    float speed;
    const char *expected;
  } cases[] = {
      {"gaps halved", 2.0, 1, nullptr, 0, "10.0 10.500 "},
      {"gaps stretched, rounded", 3.0, 1, nullptr, 0, "10.0 10.333 "},
      // The next pass starts when the 128-byte frame has left the line.
      {"gap passes", 1.0, 3, nullptr, 0, "10.0 10.1000 10.1100 10.2100 10.2200 10.3200 "},
      {"gap passes, faster", 4.0, 2, nullptr, 0, "10.0 10.250 10.350 10.600 "},
      {"interval passes, multiplier unused", 2.0, 2, &interval, 0, "10.300 10.600 10.900 10.1200 "},
      {"bandwidth passes", 1.0, 2, nullptr, 1e12f, "10.50 10.150 10.200 10.300 "},
      {"zero passes count as one", 1.0, 0, nullptr, 0, "10.0 10.1000 "},
  };
  for (const Case &c : cases) {
    ovks_replay_t r{c.multiplier, c.loops, nullptr, nullptr};
    ovks_set_replay(&r);
    ASSERT_EQ(send(in, &start, c.interval, nullptr, c.speed), 0) << c.what;
    std::vector<Frame> got = read_pcap(out());
    EXPECT_EQ(times(got), c.expected) << c.what;
    uint32_t passes = c.loops != 0 ? c.loops : 1;
    EXPECT_EQ(ovks_packet_sent, 2u * passes) << c.what;
    ovks_stats_t st;
    ovks_get_stats(&st);
    EXPECT_EQ(st.frames, 2u * passes) << c.what;
    EXPECT_EQ(st.bytes, 192u * passes) << c.what;
    EXPECT_EQ(st.first.sec, got.front().sec) << c.what;
    EXPECT_EQ(st.first.nsec, got.front().nsec) << c.what;
    EXPECT_EQ(st.last.nsec, got.back().nsec) << c.what;
    // A dry run walks the same schedule and counts what a send hands over.
    ASSERT_EQ(ovks_send(input(in).c_str(), &start, c.interval, nullptr, 0, 0, 0, 1, c.speed), 0);
    ovks_stats_t dry;
    ovks_get_stats(&dry);
    EXPECT_EQ(ovks_packet_sent, 2u * passes) << c.what;
    EXPECT_EQ(memcmp(&dry, &st, sizeof st), 0) << c.what;
  }
  // ovks_init restores one pass with the captured gaps.
  ovks_init();
  ASSERT_EQ(send(in, &start, nullptr), OVKS_OK);
  EXPECT_EQ(times(read_pcap(out())), "10.0 10.1000 ");
}

TEST_F(SendTest, UnusableMultiplierKeepsTheCapturedGaps) {
  for (double m : {0.0, -2.0, std::nan(""), HUGE_VAL}) {
    ovks_replay_t r{m, 1, nullptr, nullptr};
    ovks_set_replay(&r);
    ASSERT_EQ(send({{5, 0, "a"}, {5, 1000, "b"}}, nullptr, nullptr), 0) << m;
    EXPECT_EQ(times(read_pcap(out())), "5.0 5.1000 ") << m;
  }
  // A tiny multiplier stretches a gap to the largest time, not round it.
  ovks_replay_t r{1e-30, 1, nullptr, nullptr};
  ovks_set_replay(&r);
  ovks_time_t start{0, 0};
  ASSERT_EQ(send({{5, 0, "a"}, {6, 0, "b"}}, &start, nullptr), OVKS_OK);
  EXPECT_EQ(times(read_pcap(out())), "0.0 4294967295.999999999 ");
}

TEST_F(SendTest, ProgressReachesEveryFrameOfEveryPass) {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  ovks_replay_t r{1.0, 3, [](uint64_t done, uint64_t total, void *arg) {
                    static_cast<std::vector<std::pair<uint64_t, uint64_t>> *>(arg)->push_back(
                        {done, total});
                  }, &calls};
  ovks_set_replay(&r);
  std::vector<size_t> sizes(5000, 60);
  ASSERT_EQ(send(frames_of_sizes(sizes), nullptr, nullptr), OVKS_OK);
  ASSERT_GE(calls.size(), 2u);
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_GT(calls[i].first, calls[i - 1].first);
  EXPECT_EQ(calls.back(), std::make_pair(uint64_t{15000}, uint64_t{15000}));
}

// A dry run that is followed frame by frame (a progress callback, or
// reports) still goes through every frame in order.
TEST_F(SendTest, DryRunsFollowedFrameByFrameSeeEveryFrame) {
  std::vector<uint64_t> done;
  ovks_replay_t r{1.0, 2, [](uint64_t d, uint64_t, void *arg) {
                    static_cast<std::vector<uint64_t> *>(arg)->push_back(d);
                  }, &done};
  ovks_set_replay(&r);
  std::string path = input(frames_of_sizes(std::vector<size_t>(5000, 60)));
  ASSERT_EQ(ovks_send(path.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, 1, 0), OVKS_OK);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.back(), 10000u);
  EXPECT_EQ(ovks_packet_sent, 10000u);
  ovks_set_replay(nullptr);
  verbose = 0;
  testing::internal::CaptureStderr();
  ASSERT_EQ(ovks_send(input(frames_of_sizes({10, 20, 30})).c_str(), nullptr, nullptr, nullptr, 0, 0,
                      0, 1, 0),
            OVKS_OK);
  std::vector<std::string> got;
  for (const std::string &l : lines(testing::internal::GetCapturedStderr()))
    if (l.find(" Size: ") != std::string::npos) got.push_back(l);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NE(got[2].find("Size:    30B"), std::string::npos) << got[2];
}

TEST_F(SendTest, FailureGivesItsReason) {
  write_file(dir_.file("text"), "no capture\n");
  write_file(dir_.file("short"), "\xd4\xc3\xb2\xa1\x02");  // cut inside the header
  struct Case {
    std::string path;
    bool device;
    int result;
    std::string reason;
  } cases[] = {
      {dir_.file("missing.pcap"), true, 1,
       dir_.file("missing.pcap") + ": No such file or directory"},
      {dir_.file("text"), true, 3, dir_.file("text") + ": neither a PCAP nor a pcapng capture"},
      {dir_.file("short"), true, 1, dir_.file("short") + ": too short to be a capture"},
      {input({{1, 0, "a"}}), false, 1, "cannot open the streaming device `(default)'"},
  };
  for (const Case &c : cases) {
    if (!c.device) unsetenv("KVO2_SIM_OUT");
    EXPECT_EQ(ovks_send(c.path.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, 0, 0), c.result);
    EXPECT_EQ(std::string(ovks_error()), c.reason);
  }
  setenv("KVO2_SIM_OUT", out().c_str(), 1);
  ASSERT_EQ(send({{1, 0, "a"}}, nullptr, nullptr), OVKS_OK);
  EXPECT_STREQ(ovks_error(), "");
}

// Runs in dir, restoring the working directory afterwards.
class InDirectory {
 public:
  explicit InDirectory(const std::string &dir) {
    if (getcwd(old_, sizeof old_) == nullptr) abort();
    if (chdir(dir.c_str()) != 0) abort();
  }
  ~InDirectory() {
    if (chdir(old_) != 0) abort();
  }

 private:
  char old_[4096];
};

TEST_F(SendTest, MissingDesignDescriptionStartsTheClockAtZero) {
  TempDir empty;
  std::string path = input(frames_of_sizes({10}));
  InDirectory in(empty.path());
  verbose = 0;
  testing::internal::CaptureStderr();
  ASSERT_EQ(ovks_send(path.c_str(), nullptr, nullptr, nullptr, 1, 0, 0, 0, 0), OVKS_OK);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Could not find addresses.xml\n"), std::string::npos) << err;
  EXPECT_EQ(times(read_pcap(out())), "0.0 ");
}

// A design description without the clock register gives no time: the
// start stays where the previous send put it.
TEST_F(SendTest, CardClockWithoutTimeRegisterKeepsTheLastStart) {
  ovks_time_t start{7, 500};
  ASSERT_EQ(send(frames_of_sizes({10}), &start, nullptr), OVKS_OK);
  TempDir design;
  write_file(design.file("addresses.xml"),
             "<device><modules><clock bus=\"VQBUS\" header=\"Clock\">"
             "<addresses><address ba=\"0x2000\"/></addresses><items><item>"
             "<name>other</name><display>Other</display><offset>10</offset>"
             "<size>D</size><access>RO</access><format>TIMESTAMP</format>"
             "<bitmask>0</bitmask></item></items></clock></modules></device>\n");
  std::string path = input(frames_of_sizes({10, 10}));
  InDirectory in(design.path());
  ASSERT_EQ(ovks_send(path.c_str(), nullptr, nullptr, nullptr, 1, 0, 0, 0, 0), OVKS_OK);
  // Capture gaps from the kept start: the frames are 1 ns apart.
  EXPECT_EQ(times(read_pcap(out())), "7.500 7.501 ");
}

}  // namespace
