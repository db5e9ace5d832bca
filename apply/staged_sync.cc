#include "apply/staged_sync.h"

#include <utility>

namespace updater::apply {
namespace {

platform::Status SyncAndClose(platform::File& file) {
  platform::Status synced = file.Sync();
  platform::Status closed = file.Close();
  return synced ? closed : synced;
}

}  // namespace

platform::Status StagedSync::Add(platform::File file) {
  if (!thread_ && !finished_) {
    thread_ = std::move(platform::StartThread(Run, this)).value_or(platform::Thread());
  }
  if (!thread_) return SyncAndClose(file);
  monitor_.Lock();
  while (waiting_) monitor_.Wait();
  waiting_ = std::move(file);
  platform::Status failed = failed_;
  monitor_.NotifyAll();
  monitor_.Unlock();
  return failed;
}

void StagedSync::Work() {
  monitor_.Lock();
  while (!finished_ || waiting_) {
    if (!waiting_) {
      monitor_.Wait();
      continue;
    }
    platform::File file = std::move(waiting_);
    monitor_.NotifyAll();  // the next may wait in its place
    monitor_.Unlock();
    platform::Status done = SyncAndClose(file);
    monitor_.Lock();
    if (failed_) failed_ = done;
  }
  monitor_.Unlock();
}

platform::Status StagedSync::Finish() {
  monitor_.Lock();
  finished_ = true;
  monitor_.NotifyAll();
  monitor_.Unlock();
  thread_.Join();
  return failed_;
}

}  // namespace updater::apply
