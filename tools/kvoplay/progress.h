// The progress line of a long send on a terminal: percent, frames and rate,
// redrawn in place and cleared at the end.
#ifndef ORVIK_KVOPLAY_PROGRESS_H
#define ORVIK_KVOPLAY_PROGRESS_H

#include <cstdint>
#include <cstdio>

namespace kvoplay {

class ProgressLine {
 public:
  // Times are seconds on any steady clock; start is when the work began.
  ProgressLine(FILE *out, double start) : out_(out), start_(start) {}
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;
  ~ProgressLine() { clear(); }

  // Draws the line once the work has taken a second, then at most five
  // times a second.
  void update(uint64_t done, uint64_t total, double now);
  // Removes the line if one was drawn.
  void clear();

 private:
  FILE *out_;
  double start_;
  double last_draw_ = -1;
  bool shown_ = false;
};

}  // namespace kvoplay

#endif
