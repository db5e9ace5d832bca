#include "apply/held_folders.h"

#include "package/entry_name.h"

namespace updater::apply {

bool IsMissingIn(const platform::Folder& folder, const WString& name) {
  platform::Result<platform::NodeKind> kind = platform::KindIn(folder, name);
  return kind && *kind == platform::NodeKind::kMissing;
}

platform::Result<const platform::Folder*> HeldFolders::Get(const WString& name) {
  if (name.empty()) return &root_;
  for (auto& held : below_) {
    if (held.first == name) return &held.second;
  }
  platform::Result<const platform::Folder*> parent = ParentOf(name);
  if (!parent) return parent;
  platform::Result<platform::Folder> opened =
      platform::OpenSubfolder(**parent, package::LastComponent(name));
  if (!opened) return opened.status();
  for (const auto& expected : expected_) {
    if (expected.first != name) continue;
    platform::Result<platform::FileId> id = platform::FolderId(*opened);
    if (!id) return id.status();
    if (!(*id == expected.second)) return platform::Status::Refused();
  }
  return Hold(name, std::move(*opened));
}

void HeldFolders::Expect(const WString& name, const platform::FileId& id) {
  expected_.remove_if([&](const auto& expected) { return expected.first == name; });
  expected_.emplace_front(name, id);
}

platform::Result<const platform::Folder*> HeldFolders::ParentOf(const WString& name) {
  return Get(package::ParentOf(name));
}

const platform::Folder* HeldFolders::Hold(const WString& name, platform::Folder folder) {
  below_.emplace_front(name, std::move(folder));
  return &below_.front().second;
}

void HeldFolders::Release(const WString& name) {
  auto before = below_.before_begin();
  for (auto held = below_.begin(); held != below_.end(); before = held++) {
    if (held->first == name) {
      below_.erase_after(before);
      return;
    }
  }
}

bool HeldFolders::Holds(const WString& name) const {
  WString folded = package::FoldCase(name);
  for (const auto& held : below_) {
    if (package::FoldCase(held.first) == folded) return true;
  }
  return false;
}

void HeldFolders::ReleaseFrom(const WString& name) {
  // Ignoring case: records may name one folder in several ways.
  WString folded = package::FoldCase(name), below = folded + u"\\";
  below_.remove_if([&](const std::pair<WString, platform::Folder>& held) {
    WString other = package::FoldCase(held.first);
    if (other != folded && other.compare(0, below.size(), below) != 0) return false;
    // Its identity, read through the handle that goes now; one that cannot
    // be read matches no folder, and the name is never opened again.
    platform::Result<platform::FileId> id = platform::FolderId(held.second);
    Expect(held.first, id ? *id : platform::FileId{});
    return true;
  });
}

platform::Status HeldFolders::Recreate(const WString& name) {
  platform::Result<const platform::Folder*> parent = ParentOf(name);
  if (!parent) return parent.status();
  WString leaf = package::LastComponent(name);
  if (!IsMissingIn(**parent, leaf)) return {};  // never removed
  platform::Result<platform::Folder> made = platform::CreateSubfolder(**parent, leaf, false);
  if (!made) return made.status();
  Hold(name, std::move(*made));
  return {};
}

}  // namespace updater::apply
