#include "progress.h"

namespace kvoplay {

namespace {
constexpr double kQuietSeconds = 1.0;
constexpr double kRedrawSeconds = 0.2;

unsigned percent_of(uint64_t done, uint64_t total) {
  if (total == 0) return 100;
  double p = done * 100.0 / total;
  return p > 100 ? 100 : static_cast<unsigned>(p);
}
}  // namespace

bool ProgressLine::due(double now, double *elapsed) const {
  *elapsed = now - start_;
  if (*elapsed < kQuietSeconds) return false;
  return !shown_ || now - last_draw_ >= kRedrawSeconds;
}

void ProgressLine::drawn(double now) {
  fflush(out_);
  shown_ = true;
  last_draw_ = now;
}

void ProgressLine::update_load(uint64_t bytes, uint64_t size, uint64_t frames, double now) {
  double elapsed;
  if (!due(now, &elapsed)) return;
  double rate = bytes / elapsed / 1e6;
  if (size == 0)
    fprintf(out_, "\r\033[Kloading  %.0f MB read  %.0f MB/s", bytes / 1e6, rate);
  else
    fprintf(out_, "\r\033[Kloading %3u%%  %llu frames  %.0f MB/s", percent_of(bytes, size),
            static_cast<unsigned long long>(frames), rate);
  drawn(now);
}

void ProgressLine::update(uint64_t done, uint64_t total, double now) {
  double elapsed;
  if (!due(now, &elapsed)) return;
  fprintf(out_, "\r\033[K%3u%%  %llu/%llu frames  %.0f frames/s", percent_of(done, total),
          static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
          done / elapsed);
  drawn(now);
}

void ProgressLine::clear() {
  if (!shown_) return;
  fputs("\r\033[K", out_);
  fflush(out_);
  shown_ = false;
}

void ProgressLine::restart(double start) {
  clear();
  start_ = start;
  last_draw_ = -1;
}

}  // namespace kvoplay
