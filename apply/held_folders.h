// The folders of one install below the game folder, each opened once, from
// the game folder down, one component at a time and never through a link,
// and held while the install runs: every file operation goes through them,
// so that nothing checked by name is later used by name.
#pragma once

#include <forward_list>
#include <utility>

#include "platform/platform.h"

namespace updater::apply {

// True when nothing is at `name` in `folder`.
bool IsMissingIn(const platform::Folder& folder, const WString& name);

class HeldFolders {
 public:
  // The game folder, held for the whole run.
  const platform::Folder& root() const { return root_; }
  void HoldRoot(platform::Folder root) { root_ = std::move(root); }

  // The held folder named `name` (".\\a\\b"; empty for the root), opened on
  // first use from the root down; the failed call's Status when a folder on
  // the way is missing, a link or junction, or no folder, or, for a folder
  // held or recorded before, another folder than that one (refused). The
  // folder stays at the address given until it is released.
  platform::Result<const platform::Folder*> Get(const WString& name);

  // The held folder the entry `name` lies in.
  platform::Result<const platform::Folder*> ParentOf(const WString& name);

  // Holds `folder`, just opened or made at `name`, until it is released.
  const platform::Folder* Hold(const WString& name, platform::Folder folder);

  // True when the folder `name` is held, ignoring case.
  bool Holds(const WString& name) const;

  // Stops holding the folder `name`, so that it can be removed.
  void Release(const WString& name);

  // Stops holding the folder `name` and every folder below it, so that it
  // can be moved. Each is opened again only where it is still that folder.
  void ReleaseFrom(const WString& name);

  // Records that the folder `name`, when opened, must be the folder `id`
  // (recovery: a folder the journal names).
  void Expect(const WString& name, const platform::FileId& id);

  // Creates the folder `name` again where it is missing, and holds it; a
  // folder that is there already is left as it is.
  platform::Status Recreate(const WString& name);

 private:
  platform::Folder root_;
  // Below the root, by name, newest first. Each stays where it is until it
  // is released, so that a pointer Get gives stays valid as others are held.
  std::forward_list<std::pair<WString, platform::Folder>> below_;
  // The folders released or named by a journal, each the one its name must
  // open again: a folder renamed away and another put in its place is never
  // taken for it.
  std::forward_list<std::pair<WString, platform::FileId>> expected_;
};

}  // namespace updater::apply
