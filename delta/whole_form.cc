#include "delta/whole_form.h"

#include <optional>

#include "platform/platform.h"

namespace updater::delta {

// What the checking thread and the coder's share: the streams, and how far
// they are checked.
struct WholeForm::Checks {
  Checks(const uint8_t* data, uint32_t most_growth) : chooser(data, most_growth) {}
  std::vector<FoundStream> streams;
  std::vector<std::optional<package::MapStream>> taken;  // each as it is checked
  StreamChooser chooser;
  platform::Monitor monitor;  // guards `checked` and `stop`
  size_t checked = 0;
  bool stop = false;
  platform::Thread thread;  // last: joined first as this goes
};

void WholeForm::Check(void* argument) {
  Checks& c = *static_cast<Checks*>(argument);
  for (size_t i = 0; i < c.streams.size(); ++i) {
    c.monitor.Lock();
    const bool stop = c.stop;
    c.monitor.Unlock();
    if (stop) return;
    package::MapStream stream;
    if (c.chooser.Take(c.streams[i], stream)) c.taken[i] = stream;
    c.monitor.Lock();
    c.checked = i + 1;
    c.monitor.NotifyAll();
    c.monitor.Unlock();
  }
}

WholeForm::WholeForm(const uint8_t* data, size_t size, uint32_t most_growth, StreamHook hook)
    : data_(data),
      size_(size),
      hook_(std::move(hook)),
      checks_(std::make_unique<Checks>(data, most_growth)) {
  Checks& c = *checks_;
  if (size <= package::kMaxFormSize) c.streams = FindDeflateStreams(data, size, most_growth);
  c.taken.resize(c.streams.size());
  uint64_t most = size;  // the form's bytes, were every stream taken
  for (const FoundStream& s : c.streams) most += s.inflated.size();
  if (most <= package::kMaxFormSize) {
    c.thread = std::move(platform::StartThread(Check, &c)).value_or(platform::Thread());
    if (c.thread) return;
  }
  // Checked here, before any byte goes: a form past what a map names is
  // the file as it is.
  Check(&c);
  uint64_t form = size;
  for (size_t i = 0; i < c.streams.size(); ++i) {
    if (c.taken[i]) form += c.streams[i].inflated.size() - c.streams[i].packed;
  }
  if (form > package::kMaxFormSize) c.taken.assign(c.streams.size(), std::nullopt);
}

WholeForm::~WholeForm() {
  checks_->monitor.Lock();
  checks_->stop = true;
  checks_->monitor.Unlock();
  checks_->thread.Join();
}

void WholeForm::WaitFor(size_t stream) {
  Checks& c = *checks_;
  c.monitor.Lock();
  while (c.checked <= stream) c.monitor.Wait();
  c.monitor.Unlock();
}

bool WholeForm::Next(const uint8_t*& bytes, size_t& size) {
  Checks& c = *checks_;
  if (last_inflated_ > 0) {  // handed out: the coder has them now
    std::vector<uint8_t>().swap(c.streams[last_inflated_ - 1].inflated);
    last_inflated_ = 0;
  }
  for (; next_ < c.streams.size(); ++next_) {
    FoundStream& s = c.streams[next_];
    if (done_ < s.at) {  // the file's bytes before it, however it is checked
      bytes = data_ + done_;
      size = static_cast<size_t>(s.at - done_);
      done_ = s.at;
      handed_ += size;
      return true;
    }
    WaitFor(next_);
    if (!c.taken[next_]) {  // stays as it is: handed out with the bytes after it
      std::vector<uint8_t>().swap(s.inflated);
      continue;
    }
    package::MapStream& stream = map_.news.emplace_back(*c.taken[next_]);
    stream.inflated_at = static_cast<uint32_t>(handed_);
    if (hook_) hook_(stream, s.inflated.data(), s.inflated.size());
    bytes = s.inflated.data();
    size = s.inflated.size();
    done_ = s.at + s.packed;
    handed_ += size;
    last_inflated_ = ++next_;
    return true;
  }
  if (done_ < size_) {
    bytes = data_ + done_;
    size = static_cast<size_t>(size_ - done_);
    done_ = size_;
    handed_ += size;
    return true;
  }
  map_.new_size = static_cast<uint32_t>(handed_);
  return false;
}

}  // namespace updater::delta
