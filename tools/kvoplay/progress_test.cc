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
