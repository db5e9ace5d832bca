#include "tool/progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace updater::tool {
namespace {

ProgressMode g_progress_mode = ProgressMode::kTerminal;

bool OnTerminal() { return isatty(fileno(stderr)) != 0; }

}  // namespace

void SetProgressMode(ProgressMode mode) { g_progress_mode = mode; }

Progress::Progress(int64_t total) : total_(total), shown_(Shown()) {}

Progress::~Progress() { End(); }

void Progress::End() {
  if (drawn_) std::fputs("\n", stderr);
  drawn_ = false;
}

bool Progress::Shown() {
  return g_progress_mode == ProgressMode::kLines ||
         (g_progress_mode == ProgressMode::kTerminal && OnTerminal());
}

void Progress::Update(int64_t done) {
  if (!shown_) return;
  if (!OnTerminal()) return Line(done);
  double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
  int filled = total_ > 0 ? static_cast<int>(30 * done / total_) : 30;
  fmt::print(stderr, "\r[{:<30}] {:.1f}/{:.1f} MB  {:.1f} MB/s  {:.0f} s left ",
             std::string(static_cast<size_t>(std::clamp(filled, 0, 30)), '#'), done / 1e6,
             total_ / 1e6, rate / 1e6, left);
  drawn_ = true;
}

// One line for each 5 % passed, and at least one every 2 s while work that
// counts no bytes yet runs (a large file's delta being sorted), for logs
// that keep every line.
void Progress::Line(int64_t done) {
  int percent = total_ > 0 ? static_cast<int>(100 * done / total_) : 100;
  Clock::time_point now = Clock::now();
  if (percent < next_percent_ && (!lines_ || now - last_line_ < std::chrono::seconds(2))) return;
  fmt::print(stderr, "progress: {}% ({:.1f}/{:.1f} MB)\n", percent, done / 1e6, total_ / 1e6);
  next_percent_ = std::max(next_percent_, percent / 5 * 5 + 5);
  last_line_ = now;
  ++lines_;
}

ProgressTicker::ProgressTicker(Progress& progress, const std::atomic<int64_t>& done)
    : progress_(progress), done_(done) {
  if (Progress::Shown()) {
    thread_ = std::move(platform::StartThread(Run, this)).value_or(platform::Thread());
  }
}

ProgressTicker::~ProgressTicker() {
  stop_ = true;
  thread_.Join();
}

void ProgressTicker::Run(void* self) {
  auto& ticker = *static_cast<ProgressTicker*>(self);
  while (!ticker.stop_) {
    ticker.progress_.Update(ticker.done_);
    platform::SleepMilliseconds(200);
  }
}

}  // namespace updater::tool
