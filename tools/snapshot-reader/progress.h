// A progress line on standard error for the long steps (reading, dominators), drawn only when
// standard error is a terminal, at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace snapshot_reader {

class Progress {
 public:
  // Draws when standard error is a terminal.
  Progress();
  explicit Progress(bool enabled) : enabled_(enabled) {}
  ~Progress() { done(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void step(const std::string &what);
  // done of total; cheap enough to call every few thousand items.
  void update(uint64_t done, uint64_t total);
  // Clears the line.
  void done();

 private:
  bool enabled_ = false;
  bool drawn_ = false;
  std::string what_;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace snapshot_reader
