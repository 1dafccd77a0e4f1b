#include "progress.h"

namespace kvoplay {

namespace {
constexpr double kQuietSeconds = 1.0;
constexpr double kRedrawSeconds = 0.2;
}  // namespace

void ProgressLine::update(uint64_t done, uint64_t total, double now) {
  double elapsed = now - start_;
  if (elapsed < kQuietSeconds) return;
  if (shown_ && now - last_draw_ < kRedrawSeconds) return;
  unsigned percent = total != 0 ? static_cast<unsigned>(done * 100.0 / total) : 100;
  if (percent > 100) percent = 100;
  fprintf(out_, "\r\033[K%3u%%  %llu/%llu frames  %.0f frames/s", percent,
          static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
          done / elapsed);
  fflush(out_);
  shown_ = true;
  last_draw_ = now;
}

void ProgressLine::clear() {
  if (!shown_) return;
  fputs("\r\033[K", out_);
  fflush(out_);
  shown_ = false;
}

}  // namespace kvoplay
