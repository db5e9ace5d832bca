// Staged files synced on a thread of their own while the next ones are
// written, where each file must be synced alone (Windows, where no call
// syncs a whole file system): the flush of one file overlaps the inflating
// of the next, instead of the install waiting for the disk file by file.
#pragma once

#include "platform/file.h"
#include "platform/platform.h"

namespace updater::apply {

class StagedSync {
 public:
  StagedSync() = default;
  ~StagedSync() { (void)Finish(); }
  StagedSync(const StagedSync&) = delete;
  StagedSync& operator=(const StagedSync&) = delete;

  // Syncs and closes `file`, whose writes the OS has: on the thread, or here
  // where no thread can start. At most one file waits, so that files are
  // never held open by the hundred. The failure of a file handed over
  // earlier, if one failed.
  platform::Status Add(platform::File file);

  // Waits until every file handed over is synced and closed; the first
  // failure. Files added after it are synced here.
  platform::Status Finish();

 private:
  static void Run(void* self) { static_cast<StagedSync*>(self)->Work(); }
  void Work();

  platform::Monitor monitor_;
  platform::Thread thread_;
  platform::File waiting_;  // handed over, not yet taken by the thread
  bool finished_ = false;
  platform::Status failed_;  // the first sync or close that failed
};

}  // namespace updater::apply
