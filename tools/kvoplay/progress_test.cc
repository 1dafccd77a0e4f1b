#include "progress.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Everything the line wrote, as the terminal would receive it.
class Captured {
 public:
  Captured() : f_(open_memstream(&buf_, &size_)) {}
  ~Captured() {
    if (f_ != nullptr) fclose(f_);
    free(buf_);
  }
  FILE *file() const { return f_; }
  std::string text() {
    fflush(f_);
    return std::string(buf_, size_);
  }

 private:
  char *buf_ = nullptr;
  size_t size_ = 0;
  FILE *f_;
};

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
  Captured out;
  std::string expected;
  {
    kvoplay::ProgressLine line(out.file(), 10.0);
    for (const Step &s : steps) {
      line.update(s.done, 1000, s.now);
      if (s.drawn != nullptr) expected += s.drawn;
      EXPECT_EQ(out.text(), expected) << s.done;
    }
  }
  EXPECT_EQ(out.text(), expected + "\r\033[K");  // cleared when it goes
}

TEST(ProgressLineTest, QuickWorkLeavesNoTrace) {
  Captured out;
  {
    kvoplay::ProgressLine line(out.file(), 0.0);
    line.update(10, 10, 0.9);
    line.clear();
  }
  EXPECT_EQ(out.text(), "");
}

}  // namespace
