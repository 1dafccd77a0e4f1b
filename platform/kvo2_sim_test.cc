#include "kvo2.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

using orvik_test::read_file;
using orvik_test::TempDir;

namespace {

// Environment of one simulated device, undone when the test ends.
class SimEnv {
 public:
  explicit SimEnv(const TempDir &dir) : out_(dir.file("out.pcap")), log_(dir.file("log")) {
    setenv("KVO2_SIM_OUT", out_.c_str(), 1);
    setenv("KVO2_SIM_LOG", log_.c_str(), 1);
  }
  ~SimEnv() {
    for (const char *v : {"KVO2_SIM_OUT", "KVO2_SIM_LOG", "KVO2_SIM_BUSY_EVERY",
                          "KVO2_SIM_FAIL_EVERY"})
      unsetenv(v);
  }
  const std::string &out() const { return out_; }
  const std::string &log() const { return log_; }

 private:
  std::string out_, log_;
};

std::vector<unsigned char> header(uint32_t sec, uint32_t nsec, uint8_t flag, uint32_t repeat) {
  std::vector<unsigned char> h(13);
  memcpy(h.data(), &sec, 4);
  memcpy(h.data() + 4, &nsec, 4);
  h[8] = flag;
  memcpy(h.data() + 9, &repeat, 4);
  return h;
}

uint32_t u32_at(const std::string &s, size_t off) {
  uint32_t v;
  memcpy(&v, s.data() + off, 4);
  return v;
}

int offer(kvodata_t *kvo, uint32_t sec) {
  auto h = header(sec, 0, 0, 0);
  const char payload[] = "x";
  return kvodata_prepare_and_try_write_next(kvo, h.data(), 13, payload, 1, 0);
}

TEST(Kvo2SimTest, OpenFailsWithoutOutputFile) {
  unsetenv("KVO2_SIM_OUT");
  EXPECT_EQ(kvodata_open(nullptr), nullptr);
}

TEST(Kvo2SimTest, TakenFramesBecomeNanosecondPcapRecordsAndLogLines) {
  TempDir dir;
  SimEnv env(dir);
  kvodata_t *kvo = kvodata_open("/dev/kvodataII0");
  ASSERT_NE(kvo, nullptr);
  auto h = header(7, 123, 3, 9);
  const char payload[] = "abcdef";
  ASSERT_EQ(kvodata_prepare_and_try_write_next(kvo, h.data(), 13, payload, 6, 2), 0);
  kvodata_close(kvo);

  std::string pcap = read_file(env.out());
  ASSERT_EQ(pcap.size(), 24u + 16u + 6u);
  EXPECT_EQ(u32_at(pcap, 0), 0xa1b23c4du);
  EXPECT_EQ(pcap.substr(4, 4), std::string("\x02\x00\x04\x00", 4));
  EXPECT_EQ(u32_at(pcap, 16), 65535u);
  EXPECT_EQ(u32_at(pcap, 20), 1u);
  EXPECT_EQ(u32_at(pcap, 24), 7u);
  EXPECT_EQ(u32_at(pcap, 28), 123u);
  EXPECT_EQ(u32_at(pcap, 32), 6u);
  EXPECT_EQ(u32_at(pcap, 36), 6u);
  EXPECT_EQ(pcap.substr(40), "abcdef");
  EXPECT_EQ(read_file(env.log()), "iface=2 flag=3 repeat=9 time=7s000000123ns len=6\n");
}

TEST(Kvo2SimTest, InjectedBusyAndErrorResultsTakeNothing) {
  TempDir dir;
  SimEnv env(dir);
  setenv("KVO2_SIM_BUSY_EVERY", "2", 1);
  setenv("KVO2_SIM_FAIL_EVERY", "3", 1);
  kvodata_t *kvo = kvodata_open(nullptr);
  ASSERT_NE(kvo, nullptr);
  std::vector<int> results;
  for (uint32_t i = 1; i <= 6; ++i) results.push_back(offer(kvo, i));
  kvodata_close(kvo);
  // Attempt 6 is both; busy wins.
  EXPECT_EQ(results, (std::vector<int>{0, 1, 2, 1, 0, 1}));
  EXPECT_EQ(read_file(env.log()),
            "iface=0 flag=0 repeat=0 time=1s000000000ns len=1\n"
            "iface=0 flag=0 repeat=0 time=5s000000000ns len=1\n");
}

TEST(Kvo2SimTest, DeviceThatIsAlwaysBusyTimesOutItsPoll) {
  TempDir dir;
  SimEnv env(dir);
  setenv("KVO2_SIM_BUSY_EVERY", "1", 1);
  kvodata_t *kvo = kvodata_open(nullptr);
  ASSERT_NE(kvo, nullptr);
  EXPECT_EQ(offer(kvo, 1), 1);
  uint16_t events = 4;
  EXPECT_EQ(kvodata_poll(kvo, &events, KVO2_TX_POLL_TIMEOUT), 0);
  EXPECT_EQ(events, 0);
  kvodata_close(kvo);
}

}  // namespace
