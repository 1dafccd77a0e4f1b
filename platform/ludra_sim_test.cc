// Simulated card: state file parsing, reads, write-back, tracing, faults
// and the lock that keeps two writers from losing updates.
#include "ludra.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "test_util.h"

using orvik_test::read_file;
using orvik_test::TempDir;
using orvik_test::write_file;

namespace {

class LudraSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    card_ = dir_.file("card.sim");
    setenv("LUDRA_SIM", card_.c_str(), 1);
    unsetenv("LUDRA_SIM_TRACE");
  }
  void TearDown() override {
    if (dev_ != nullptr) vq_detach(&dev_);
    unsetenv("LUDRA_SIM");
    unsetenv("LUDRA_SIM_TRACE");
  }

  // Attaches to a card holding text.
  void attach(const std::string &text) {
    write_file(card_, text);
    ASSERT_EQ(0, vq_attach_noex(&dev_, "/dev/ludrax/0"));
    ASSERT_NE(nullptr, dev_);
  }

  vq_space_t map(uint32_t base, uint32_t size = 0) {
    vq_space_t s = nullptr;
    EXPECT_EQ(0, vq_space_map(dev_, &s, 0, size, base, 0));
    return s;
  }

  TempDir dir_;
  std::string card_;
  vq_dev_t dev_ = nullptr;
};

TEST_F(LudraSimTest, ReadsWordsRegistersFirmwareAndIdent) {
  attach(
      "# a card\n"
      "firmware 0x00010203\n"
      "ident sim-board rev2 sfp-a phy-a sfp-b phy-b\n"
      "vq 0x1000 0x10 0xdeadbeef   # status\n"
      "vq 4096 024 7\n"
      "mdio 0x2000 1 0x4 0x1234\n");
  EXPECT_EQ(0x00010203u, vq_firmware_get(dev_));
  const char *t[6] = {};
  EXPECT_EQ(0, vq_identify_cv2(dev_, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]));
  EXPECT_STREQ("sim-board", t[0]);
  EXPECT_STREQ("phy-b", t[5]);

  vq_space_t lb = map(0x1000);
  EXPECT_EQ(0xdeadbeefu, vq_space_read_4(dev_, lb, 0x10));
  EXPECT_EQ(7u, vq_space_read_4(dev_, lb, 0x14));  // 024 is octal
  EXPECT_EQ(0u, vq_space_read_4(dev_, lb, 0x18));  // unnamed words read 0
  vq_space_t md = map(0x2000, 16);
  EXPECT_EQ(0x1234, vq_mdio_read(dev_, md, 0, 1, 4));
  EXPECT_EQ(0, vq_mdio_read(dev_, md, 0, 2, 4));
  vq_space_unmap(dev_, &lb);
  vq_space_unmap(dev_, &md);
  EXPECT_EQ(nullptr, lb);
}

TEST_F(LudraSimTest, DefaultsWithoutFirmwareAndIdent) {
  attach("");
  EXPECT_EQ(0u, vq_firmware_get(dev_));
  const char *t[6] = {};
  vq_identify_cv2(dev_, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
  for (const char *s : t) EXPECT_STREQ("unknown", s);
}

TEST_F(LudraSimTest, AttachFailsWithoutCard) {
  unsetenv("LUDRA_SIM");
  EXPECT_NE(0, vq_attach_noex(&dev_, "/dev/ludrax/0"));
  EXPECT_EQ(nullptr, dev_);
  setenv("LUDRA_SIM", dir_.file("missing.sim").c_str(), 1);
  EXPECT_NE(0, vq_attach_noex(&dev_, "/dev/ludrax/0"));
  EXPECT_EQ(nullptr, dev_);
}

TEST_F(LudraSimTest, WriteBackKeepsCommentsOrderAndUpdatesInPlace) {
  attach(
      "# header comment\n"
      "vq 0x1000 0x0 0x1   # keep me\n"
      "\n"
      "mdio 0x2000 1 2 0x5\n"
      "firmware 3\n");
  vq_space_t lb = map(0x1000);
  vq_space_t md = map(0x2000, 16);
  vq_space_write_4(dev_, lb, 0x0, 0xcafe);
  vq_mdio_write(dev_, md, 0, 1, 2, 0xbeef);
  vq_space_write_4(dev_, lb, 0x8, 0x42);  // new word
  vq_mdio_write(dev_, md, 0, 3, 9, 0x7);  // new register
  vq_space_unmap(dev_, &lb);
  vq_space_unmap(dev_, &md);
  vq_detach(&dev_);
  EXPECT_EQ(
      "# header comment\n"
      "vq 0x1000 0x0 0x0000cafe   # keep me\n"
      "\n"
      "mdio 0x2000 1 2 0xbeef\n"
      "firmware 3\n"
      "vq 0x1000 0x8 0x00000042\n"
      "mdio 0x2000 0x3 0x9 0x0007\n",
      read_file(card_));

  // The saved file parses back to the written state.
  ASSERT_EQ(0, vq_attach_noex(&dev_, "x"));
  lb = map(0x1000);
  EXPECT_EQ(0xcafeu, vq_space_read_4(dev_, lb, 0));
  EXPECT_EQ(0x42u, vq_space_read_4(dev_, lb, 8));
  vq_space_unmap(dev_, &lb);
}

TEST_F(LudraSimTest, FileUntouchedWithoutWrites) {
  attach("vq 1 2 3");  // no final newline: must stay byte for byte
  struct stat before;
  ASSERT_EQ(0, stat(card_.c_str(), &before));
  vq_space_t lb = map(1);
  vq_space_read_4(dev_, lb, 2);
  vq_space_unmap(dev_, &lb);
  vq_detach(&dev_);
  struct stat after;
  ASSERT_EQ(0, stat(card_.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ("vq 1 2 3", read_file(card_));
}

TEST_F(LudraSimTest, MalformedStateFileNamesFileAndLine) {
  const std::string huge(5000, '9');
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"vq 1 2 3\n\nfoo 1\n", ":3: unknown statement 'foo'"},
      {"vq 1 2\n", ":1: missing field in 'vq'"},
      {"vq 1 2 3 4\n", ":1: too many fields in 'vq'"},
      {"firmware 0x1g\n", ":1: bad number '0x1g'"},
      {"firmware -1\n", ":1: bad number '-1'"},
      {"firmware 0x100000000\n", ":1: number out of range '0x100000000'"},
      {"mdio 1 2 3 0x10000\n", ":1: number out of range '0x10000'"},
      {"firmware " + huge + "\n", ":1: number out of range '999"},
      {"ident a b c\n", ":1: missing field in 'ident'"},
      {"# ok\nclock 1\n", ":2: missing field in 'clock'"},
      {"fail-map\n", ":1: missing field in 'fail-map'"},
      {std::string(100000, 'x') + "\n", ":1: unknown statement 'xxxx"},
  };
  for (const Case &c : cases) {
    write_file(card_, c.text);
    testing::internal::CaptureStderr();
    EXPECT_NE(0, vq_attach_noex(&dev_, "x")) << c.message;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, dev_);
    EXPECT_NE(std::string::npos, err.find("ludra-sim: " + card_ + c.message)) << err;
    EXPECT_LT(err.size(), 400u) << c.message;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }
}

TEST_F(LudraSimTest, TraceLogsEveryOperation) {
  std::string trace = dir_.file("trace");
  setenv("LUDRA_SIM_TRACE", trace.c_str(), 1);
  attach("vq 0x100 0x4 0xab\nmdio 0x200 1 2 0x33\n");
  vq_space_t lb = map(0x100);
  vq_space_t md = map(0x200, 16);
  vq_space_read_4(dev_, lb, 4);
  vq_space_write_4(dev_, lb, 8, 0x10);
  vq_mdio_read(dev_, md, 0, 1, 2);
  vq_mdio_write(dev_, md, 0, 1, 3, 0x44);
  vq_space_unmap(dev_, &lb);
  vq_space_unmap(dev_, &md);
  vq_detach(&dev_);
  EXPECT_EQ(
      "attach\n"
      "map 0x100 0x0\n"
      "map 0x200 0x10\n"
      "rd4 0x100 0x4 0xab\n"
      "wr4 0x100 0x8 0x10\n"
      "mdrd 0x200 0x1 0x2 0x33\n"
      "mdwr 0x200 0x1 0x3 0x44\n"
      "unmap\n"
      "unmap\n"
      "detach\n",
      read_file(trace));
}

TEST_F(LudraSimTest, FailMapRefusesThatBaseOnly) {
  attach("fail-map 0x3000\n");
  vq_space_t s = nullptr;
  EXPECT_NE(0, vq_space_map(dev_, &s, 0, 0, 0x3000, 0));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(0, vq_space_map(dev_, &s, 0, 0, 0x3004, 0));
  vq_space_unmap(dev_, &s);
}

TEST_F(LudraSimTest, UnmappedOrNullSpaceIsHarmless) {
  attach("vq 0 0 5\n");
  vq_space_t none = nullptr;
  EXPECT_EQ(0u, vq_space_read_4(dev_, none, 0));
  vq_space_write_4(dev_, none, 0, 1);
  EXPECT_EQ(0, vq_mdio_read(dev_, none, 0, 0, 0));
  vq_space_unmap(dev_, &none);
  vq_space_unmap(dev_, nullptr);
  vq_space_t s = nullptr;
  EXPECT_NE(0, vq_space_map(nullptr, &s, 0, 0, 0, 0));
  EXPECT_EQ(0u, vq_space_read_4(nullptr, s, 0));
  vq_detach(&dev_);
  EXPECT_EQ("vq 0 0 5\n", read_file(card_));  // nothing was written
}

TEST_F(LudraSimTest, ClockReadsCurrentTime) {
  attach("clock 0x500 0x10\n");
  vq_space_t s = map(0x500);
  struct timespec before, after;
  clock_gettime(CLOCK_REALTIME, &before);
  uint32_t sec = vq_space_read_4(dev_, s, 0x14);
  uint32_t ns = vq_space_read_4(dev_, s, 0x10);
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(sec, static_cast<uint32_t>(before.tv_sec));
  EXPECT_LE(sec, static_cast<uint32_t>(after.tv_sec));
  EXPECT_LT(ns, 1000000000u);
  EXPECT_EQ(0u, vq_space_read_4(dev_, s, 0x18));
  vq_space_unmap(dev_, &s);
}

// Each process sets its own bits of one word, one read-modify-write per
// attach.  Without the lock, some of the 600 updates would be lost.
void count_in_half(int shift, int times) {
  for (int i = 0; i < times; ++i) {
    vq_dev_t dev = nullptr;
    if (vq_attach_noex(&dev, "x") != 0) _exit(2);
    vq_space_t s = nullptr;
    if (vq_space_map(dev, &s, 0, 0, 0x100, 0) != 0) _exit(3);
    uint32_t w = vq_space_read_4(dev, s, 0);
    uint32_t half = (w >> shift) & 0xFFFF;
    w = (w & ~(0xFFFFu << shift)) | ((half + 1) << shift);
    vq_space_write_4(dev, s, 0, w);
    vq_space_unmap(dev, &s);
    vq_detach(&dev);
  }
}

TEST_F(LudraSimTest, TwoProcessesNeverLoseAnUpdate) {
  write_file(card_, "# shared word\nvq 0x100 0 0\n");
  constexpr int kTimes = 300;
  pid_t a = fork();
  if (a == 0) {
    count_in_half(0, kTimes);
    _exit(0);
  }
  pid_t b = fork();
  if (b == 0) {
    count_in_half(16, kTimes);
    _exit(0);
  }
  int sa = -1, sb = -1;
  waitpid(a, &sa, 0);
  waitpid(b, &sb, 0);
  EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
  EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
  ASSERT_EQ(0, vq_attach_noex(&dev_, "x"));
  vq_space_t s = map(0x100);
  EXPECT_EQ(static_cast<uint32_t>(kTimes << 16 | kTimes), vq_space_read_4(dev_, s, 0));
  vq_space_unmap(dev_, &s);
  vq_detach(&dev_);
  EXPECT_EQ("# shared word\nvq 0x100 0 0x012c012c\n", read_file(card_));
}

}  // namespace
