// The progress updatepkg draws on standard error: redrawn on a terminal;
// with --progress also as a line per 5 % (and at least one every 2 s) where
// standard error is a log; with --quiet not at all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/platform.h"

namespace updater::tool {

enum class ProgressMode { kTerminal, kLines, kNone };

// How every Progress of this run is shown; set once from the command line.
void SetProgressMode(ProgressMode mode);

class Progress {
 public:
  explicit Progress(int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // True when progress is shown at all.
  static bool Shown();
  // Bytes done of the total: a bar with the rate and the time left on a
  // terminal, a line per 5 % in a log.
  void Update(int64_t done);

  // Ends the bar's line, so that what is printed next has a line of its own.
  void End();

 private:
  void Line(int64_t done);

  using Clock = std::chrono::steady_clock;
  int next_percent_ = 0;
  int lines_ = 0;
  Clock::time_point last_line_;
  int64_t total_;
  bool shown_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
};

// Redraws `progress` with the bytes `done` a few times a second from a
// thread of its own, while the work that counts them runs on others.
class ProgressTicker {
 public:
  ProgressTicker(Progress& progress, const std::atomic<int64_t>& done);
  ~ProgressTicker();
  ProgressTicker(const ProgressTicker&) = delete;
  ProgressTicker& operator=(const ProgressTicker&) = delete;

 private:
  static void Run(void* self);

  Progress& progress_;
  const std::atomic<int64_t>& done_;
  std::atomic<bool> stop_{false};
  platform::Thread thread_;
};

}  // namespace updater::tool
