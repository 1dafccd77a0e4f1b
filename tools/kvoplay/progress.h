// The progress line of a long load or send on a terminal, redrawn in place
// and cleared at the end: for the load, percent of the input, frames and
// megabytes a second (only megabytes while a pipe is still being read);
// for the send, percent, frames and frames a second.
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

  // Each draws the line once the work has taken a second, then at most
  // five times a second.  A size of 0 is not known yet.
  void update_load(uint64_t bytes, uint64_t size, uint64_t frames, double now);
  void update(uint64_t done, uint64_t total, double now);
  // Removes the line if one was drawn.
  void clear();
  // Removes the line and counts the next work from start.
  void restart(double start);

 private:
  // Whether the line is to be drawn now; elapsed: seconds since start.
  bool due(double now, double *elapsed) const;
  void drawn(double now);

  FILE *out_;
  double start_;
  double last_draw_ = -1;
  bool shown_ = false;
};

}  // namespace kvoplay

#endif
