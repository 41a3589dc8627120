#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace snapshot_reader {

Progress::Progress() : enabled_(isatty(STDERR_FILENO) == 1) {}

void Progress::step(const std::string &what) {
  what_ = what;
  last_ = {};
  update(0, 0);
}

void Progress::update(uint64_t done, uint64_t total) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  if (total > 0) {
    fprintf(stderr, "\r\033[K%s %3d%%", what_.c_str(), (int)(done * 100 / total));
  } else {
    fprintf(stderr, "\r\033[K%s", what_.c_str());
  }
  fflush(stderr);
  drawn_ = true;
}

void Progress::done() {
  if (!enabled_ || !drawn_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  drawn_ = false;
}

}  // namespace snapshot_reader
