#include "progress.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using orvik_test::MemStream;

TEST(ProgressLineTest, DrawsOnlyAfterASecondAndAtMostFiveTimesASecond) {
  struct Step {
    uint64_t done;
    double now;
    const char *drawn;  // nullptr: nothing new
  } steps[] = {
      {100, 10.5, nullptr},
      {400, 11.0, "\r\033[K 40%  400/1000 frames  400 frames/s"},
      {450, 11.1, nullptr},
      {600, 11.25, "\r\033[K 60%  600/1000 frames  480 frames/s"},
      {1200, 12.0, "\r\033[K100%  1200/1000 frames  600 frames/s"},
  };
  MemStream out;
  std::string expected;
  {
    kvoplay::ProgressLine line(out.out(), 10.0);
    for (const Step &s : steps) {
      line.update(s.done, 1000, s.now);
      if (s.drawn != nullptr) expected += s.drawn;
      EXPECT_EQ(out.text(), expected) << s.done;
    }
  }
  EXPECT_EQ(out.text(), expected + "\r\033[K");  // cleared when it goes
}

// The load shows megabytes while a pipe is read, then percent of the
// input; the send that follows starts a second of quiet of its own.
TEST(ProgressLineTest, LoadLineThenSendLineCountedFromTheRestart) {
  MemStream out;
  std::string expected;
  kvoplay::ProgressLine line(out.out(), 0.0);
  line.update_load(50000000, 0, 0, 2.0);
  expected += "\r\033[Kloading  50 MB read  25 MB/s";
  line.update_load(100000000, 400000000, 1000, 4.0);
  expected += "\r\033[Kloading  25%  1000 frames  25 MB/s";
  EXPECT_EQ(out.text(), expected);
  line.restart(4.0);
  expected += "\r\033[K";
  line.update(10, 100, 4.5);
  EXPECT_EQ(out.text(), expected);
  line.update(50, 100, 6.0);
  EXPECT_EQ(out.text(), expected + "\r\033[K 50%  50/100 frames  25 frames/s");
}

TEST(ProgressLineTest, QuickWorkLeavesNoTrace) {
  MemStream out;
  {
    kvoplay::ProgressLine line(out.out(), 0.0);
    line.update(10, 10, 0.9);
    line.clear();
  }
  EXPECT_EQ(out.text(), "");
}

}  // namespace
