#include "apply/record_plan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "apply/patch_writer.h"

namespace updater::apply {

namespace {

// Walks from the root to the folder the entry `name` lies in, holding each
// folder on the way; `parent` is the deepest one held. The first that is
// missing, or a file (`blocked_by_file`), is `blocked`, and nothing below it
// exists. A link, a junction, or what cannot be told on the way fails it.
Failure WalkTo(Staging& staging, const WString& name, const WString& target, WString& blocked,
               bool& blocked_by_file, const platform::Folder*& parent) {
  parent = &staging.folders.root();
  for (const WString& folder : package::FoldersOf(name)) {
    platform::Result<const platform::Folder*> held = staging.folders.Get(folder);
    platform::Result<platform::NodeKind> kind =
        held ? platform::NodeKind::kFolder
             : platform::KindIn(*parent, package::LastComponent(folder));
    blocked_by_file = kind && *kind == platform::NodeKind::kFile;
    if (blocked_by_file || (kind && *kind == platform::NodeKind::kMissing)) {
      blocked = folder;
      return {};
    }
    if (!held) return Fail(Cause::kTargetRefused, target, kind.status());
    parent = *held;
  }
  return {};
}

// Checks that the entry `name` can be written below the root: every folder
// on its way that exists is a plain folder (no link or junction), the file
// itself is missing or a plain file that can be opened for writing now.
// Folders still missing are added to the staging plan. A plain file on the
// way, or a plain folder at the name, is told in `in_way`: it goes aside
// (AddAside), and what lies below that file is missing.
Failure CheckTarget(Staging& staging, const WString& name, StagedEntry& entry, InTheWay& in_way,
                    const platform::Folder*& held) {
  WString blocked;
  bool by_file = false;
  Failure walked = WalkTo(staging, name, entry.target, blocked, by_file, held);
  if (walked.failed()) return walked;
  if (!blocked.empty()) {
    // Below a missing folder everything is missing: those folders are made.
    if (by_file) in_way = {blocked, false};
    std::vector<WString>& made = staging.new_folders;
    for (const WString& folder : package::FoldersOf(name)) {
      if (folder.size() < blocked.size()) continue;
      if (std::find(made.begin(), made.end(), folder) == made.end()) made.push_back(folder);
    }
    return {};
  }
  if (const StagedEntry* pending = PendingAt(staging, name)) {
    entry.existed = pending->existed;  // a plan's: its old file comes back, or a new one goes
    return {};
  }
  // Every folder on the way is held now: the walk held each one.
  const platform::Folder& parent = *held;
  WString leaf = package::LastComponent(name);
  // A plain file that can be written now, its identity (for the journal)
  // read through the handle that opened it: one call where all is well.
  platform::Result<platform::FileId> writable =
      platform::WritableFileIn(parent, leaf, &entry.read_only);
  if (!writable) {
    platform::Result<platform::NodeKind> kind = platform::KindIn(parent, leaf);
    if (kind && *kind == platform::NodeKind::kMissing) return {};
    if (kind && *kind == platform::NodeKind::kFolder) {
      in_way = {name, true};
      return {};
    }
    if (kind && *kind == platform::NodeKind::kFile) {
      return Fail(Cause::kTargetBusy, entry.target, writable.status());
    }
    return Fail(Cause::kTargetRefused, entry.target, kind.status());
  }
  entry.existed = true;
  entry.old_id = *writable;
  platform::Result<uint32_t> mode = platform::ModeIn(parent, leaf);
  if (!mode) return Fail(Cause::kTargetRefused, entry.target, mode.status());
  entry.old_mode = *mode;
  return {};
}

}  // namespace

Failure AddAside(Staging& staging, const InTheWay& in_way) {
  if (in_way.name.empty() || EntryMovingAside(staging, in_way.name)) return {};
  WString target = TargetOf(staging, in_way.name);
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(in_way.name);
  if (!parent) return Fail(Cause::kTargetRefused, target, parent.status());
  WString leaf = package::LastComponent(in_way.name);
  platform::Result<platform::FileId> id = platform::Status::Refused();
  bool read_only = false;
  if (in_way.folder) {
    platform::Result<const platform::Folder*> held = staging.folders.Get(in_way.name);
    id = held ? platform::FolderId(**held) : platform::Result<platform::FileId>(held.status());
  } else {
    id = platform::FileIdIn(**parent, leaf, platform::Links::kRefuse, &read_only);
  }
  if (!id) return Fail(Cause::kTargetRefused, target, id.status());
  // A removal that kept it (another version) no longer does: it goes aside.
  std::vector<WString>& kept = staging.report.kept;
  kept.erase(std::remove(kept.begin(), kept.end(), in_way.name), kept.end());
  AddStagedEntry(staging, in_way.name, target);
  StagedEntry& aside = staging.entries.back();
  aside.existed = aside.removal = aside.aside = true;
  aside.folder = in_way.folder;
  aside.read_only = read_only;
  aside.old_id = *id;
  return {};
}

namespace {

// The SHA-256 of `file`, `size` bytes, known as `id`: hashed on first sight,
// then remembered for the run; null where it cannot be read whole.
const uint8_t* DigestOf(Staging& staging, const platform::File& file, const platform::FileId& id,
                        uint64_t size) {
  platform::Result<EntryTimes> times = file.Times();
  if (!times) return nullptr;
  for (const HashedFile& known : staging.hashed) {
    if (known.id == id && known.size == size && known.last_write == times->last_write) {
      return known.sha256;
    }
  }
  OldFileCheck check(file, size, nullptr);
  check.Check();
  if (!check.hashed) return nullptr;
  staging.hashed.push_back({id, size, times->last_write, {}});
  std::memcpy(staging.hashed.back().sha256, check.digest, 32);
  return staging.hashed.back().sha256;
}

}  // namespace

platform::Result<platform::File> ReadEntryFile(Staging& staging, const WString& name) {
  if (const StagedEntry* pending = PendingAt(staging, name)) {
    if (!pending->existed) return platform::Status::Error(platform::MissingError());
    return staging.read_file(staging.staging_folder, pending->backup);
  }
  platform::Result<const platform::Folder*> parent = staging.folders.ParentOf(name);
  if (!parent) return parent.status();
  return staging.read_file(**parent, package::LastComponent(name));
}

platform::Result<platform::FileId> KnownFile(Staging& staging,
                                             platform::Result<platform::File> file, uint64_t size,
                                             const uint8_t (&hash)[32]) {
  if (!file) return file.status();
  // Another size is another version, told without reading it.
  if (!file->Seek(0, SEEK_END) || static_cast<uint64_t>(file->Tell()) != size) {
    return platform::Status::Refused();
  }
  platform::FileId id;
  platform::Status known = file->Identity(id.volume, id.index);
  if (!known) return known;
  const uint8_t* digest = DigestOf(staging, *file, id, size);
  if (!digest || std::memcmp(digest, hash, 32) != 0) return platform::Status::Refused();
  return id;
}

bool TargetIsCurrent(Staging& staging, const package::Record& record, const StagedEntry& entry) {
  if (!entry.existed) return false;
  return static_cast<bool>(KnownFile(staging, ReadEntryFile(staging, entry.name),
                                     record.delta.new_size, record.delta.new_hash));
}

Failure WrongOldFile(const Staging& staging, const package::Record& record,
                     const StagedEntry& entry, platform::Status status) {
  if (record.old_name == record.name) return Fail(Cause::kWrongOldFile, entry.target, status);
  return Fail(Cause::kWrongOldFile,
              TargetOf(staging, record.old_name) + u" (read for " + entry.target + u")", status);
}

Failure BlameAChangedOldFile(const Failure& patched, const platform::File& old,
                             const package::Record& record, const Staging& staging) {
  // Literals coded after the old file decode from its bytes: another file
  // makes them fail as a stream.
  bool from_old = patched.cause == Cause::kBadDelta ||
                  (record.literals_after_old && patched.cause == Cause::kBadStream);
  if (!from_old) return patched;
  OldFileCheck check(old, record.delta.old_size, &record.delta.old_hash);
  check.Check();
  if (!check.read || check.expected) return patched;
  return Fail(Cause::kOldFileChanged, TargetOf(staging, record.old_name));
}

int FoundVersion(Staging& staging, const package::Record& record, platform::FileId& id) {
  for (int i = 0; i < record.version_count; ++i) {
    const package::Version& version = record.versions[i];
    platform::Result<platform::FileId> known = KnownFile(
        staging, ReadEntryFile(staging, OldNameOf(record, i)), version.size, version.hash);
    if (known) {
      id = *known;
      return i;
    }
  }
  return -1;
}

namespace {

// Walks to the file a removal names, through plain folders only: what is
// there goes in `found`, the folder it lies in in `parent`. Nothing is
// below a missing folder, or below a file (the folder of an earlier
// release, a file again).
Failure FindRemoved(Staging& staging, const StagedEntry& entry, Found& found,
                    const platform::Folder*& parent) {
  WString blocked;
  bool by_file = false;
  Failure walked = WalkTo(staging, entry.name, entry.target, blocked, by_file, parent);
  if (walked.failed() || !blocked.empty()) return walked;
  if (const StagedEntry* pending = PendingAt(staging, entry.name)) {
    found.target = pending->existed ? AtTarget::kFile : AtTarget::kNothing;  // a plan's
    return {};
  }
  platform::Result<platform::NodeKind> kind =
      platform::KindIn(*parent, package::LastComponent(entry.name));
  if (kind && *kind == platform::NodeKind::kMissing) return {};
  // A folder the update's files lie in, where an earlier release had this
  // file: the update made it, or it is the player's, and it stays. Anything
  // else is told by its bytes.
  bool own_folder =
      kind && *kind == platform::NodeKind::kFolder && staging.folders.Holds(entry.name);
  found.target = own_folder ? AtTarget::kFolder : AtTarget::kFile;
  return {};
}

}  // namespace

Failure FindTarget(Staging& staging, const package::Record& record, StagedEntry& entry,
                   Found& found, InTheWay& in_way, const platform::Folder*& parent) {
  if (record.kind == package::RecordKind::kRemove) {
    const StagedEntry* aside = EntryMovingAside(staging, record.name);
    found.aside = aside && aside->aside && !aside->folder;
    if (!found.aside) return FindRemoved(staging, entry, found, parent);
    // Its folder is held: the record it makes room for walked to it.
    platform::Result<const platform::Folder*> held = staging.folders.ParentOf(record.name);
    if (!held) return Fail(Cause::kTargetRefused, entry.target, held.status());
    parent = *held;
    return {};
  }
  Failure failure;
  {
    UPDATER_PHASE(staging.report.phases, kCheckTarget);
    failure = CheckTarget(staging, record.name, entry, in_way, parent);
  }
  found.target = in_way.folder   ? AtTarget::kFolder
                 : entry.existed ? AtTarget::kFile
                                 : AtTarget::kNothing;
  return failure;
}

Failure FailureOf(const Decision& decision, const package::Record& record, const Staging& staging,
                  const StagedEntry& entry, const Found& found, platform::Status opened,
                  bool listed) {
  if (decision.cause == Cause::kWrongOldFile) return WrongOldFile(staging, record, entry, opened);
  if (decision.cause != Cause::kNoKnownVersion)
    return Fail(decision.cause, entry.target, found.rights);
  WString path = entry.target;
  if (!listed) path += u" (" + Decimal(record.version_count) + u" versions known)";
  return Fail(decision.cause, path);
}

Failure Settle(Staging& staging, const package::Record& record, const Decision& decision,
               const Found& found, const InTheWay& in_way, const platform::Folder* parent) {
  StagedEntry& entry = staging.entries.back();
  NoteMatch(staging.report, record, decision.releases);  // a record of no versions notes none
  if (decision.action == Action::kCurrent) return DropCurrentEntry(staging);
  // A written file: what stands in its way goes aside as the commit places it.
  if (decision.action != Action::kKeep && decision.action != Action::kRemove) {
    return AddAside(staging, in_way);
  }
  if (decision.action == Action::kKeep) staging.report.kept.push_back(entry.name);
  if (found.aside)
    EntryMovingAside(staging, record.name)->aside = false;  // that move is the removal
  if (decision.action == Action::kKeep || found.aside) {
    staging.entries.pop_back();  // nothing of its own to do: it stays, or goes with that move
    return {};
  }
  entry.removal = entry.existed = true;  // the commit moves the file found and no other
  entry.releases = decision.releases;
  // Only whether it is read-only is taken from this, through a handle that
  // opens it for nothing: one in use is told at the commit.
  (void)platform::FileIdIn(*parent, package::LastComponent(entry.name), platform::Links::kRefuse,
                           &entry.read_only);
  // Its folders may go too, each only after every folder below it.
  std::vector<WString>& gone = staging.gone_folders;
  for (const WString& folder : package::FoldersOf(entry.name)) {
    if (std::find(gone.begin(), gone.end(), folder) != gone.end()) continue;
    auto depth = [](const WString& name) { return std::count(name.begin(), name.end(), u'\\'); };
    gone.insert(std::find_if(gone.begin(), gone.end(),
                             [&](const WString& other) { return depth(other) < depth(folder); }),
                folder);
  }
  return {};
}

int64_t BecomeDelta(package::Record& record, int chosen) {
  const package::Version& version = record.versions[chosen];
  record.kind = package::RecordKind::kDelta;
  record.old_name = record.old_names[chosen];
  record.delta.old_size = version.size;
  std::memcpy(record.delta.old_hash, version.hash, 32);
  std::memcpy(record.stream_lengths, record.patch_lengths[version.patch], 16);
  for (int p = 0; p < version.patch; ++p) {
    for (int s = 0; s < 4; ++s) record.part_skip[s] += record.patch_lengths[p][s];
  }
  return record.in_block ? 0 : record.patch_offset(version.patch);  // a block's: none here
}

}  // namespace updater::apply
