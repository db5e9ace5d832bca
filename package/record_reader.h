// Reads the records of a package one at a time, checking each header as the
// applier does. The one reader of records: apply mode, extract, list and
// verify all go through it, and consume each record's stream themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "package/block_cursors.h"
#include "package/decode_ahead.h"
#include "package/delta.h"
#include "package/entry_name.h"
#include "package/failure.h"
#include "package/format.h"
#include "package/lzma_decoder.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::package {

// The most releases one update is made from: a version's releases are bits of 32.
inline constexpr int kMaxReleases = 32;

// The first `count` releases, a bit each.
inline uint32_t AllReleases(size_t count) {
  return static_cast<uint32_t>((uint64_t{1} << count) - 1);
}

// Appends the name of release `i` (from 0) of an update named by `labels`:
// its label, or "release N" (from 1) where it has none.
void AppendReleaseName(WString& line, const std::vector<WString>& labels, size_t i);

// One old version of a file that an update knows: one it patches ("alts")
// or removes ("gone", "rmvs").
struct Version {
  uint64_t size = 0;  // its size and SHA-256
  uint8_t hash[32] = {};
  uint32_t releases = 0;  // the releases that hold it, a bit each in package order; 0: unknown
  uint8_t patch = 0;      // "alts": the patch that makes the new file from it
};

// One record's header; its stream follows at the package's position.
struct Record {
  int number = 0;      // from 1, in package order (a version label is none)
  int64_t offset = 0;  // of its tag in the file
  RecordKind kind = RecordKind::kFile;
  WString name;
  WString target;  // the name joined to the root
  EntryTimes times;
  // A delta's sizes and hashes; for a removal, the old file's size and hash.
  DeltaHeader delta;
  WString old_name;  // the file a delta patches (its own name unless moved)
  // A whole file of a solid block: its bytes come from the block's stream,
  // and `delta` holds their size and SHA-256 as the new file's. A delta of
  // a block of deltas: its streams are its parts of the block's, of the
  // sizes in `stream_lengths` (RecordReader::block()), none at the package's position.
  bool in_block = false;
  // A delta's four streams, of these lengths, from the package's position on.
  uint32_t stream_lengths[4] = {};
  // A delta's or an "alts" record's patch streams are LZMA, not zlib.
  bool lzma_streams = false;
  // A delta's literals are coded after the old file ("dlzo"), which their
  // decoder's window must hold first.
  bool literals_after_old = false;
  // "alts" and removals: the old versions it knows, in package order (a
  // "gone" has one; at most one per release), and the releases that already
  // hold the new version (for a removal: none of it).
  Version versions[kMaxReleases];
  int version_count = 0;
  std::vector<WString> old_names;  // "alts": where each version is read (own name, or a move's)
  uint32_t current_in = 0;
  // "alts": the four stream lengths of each patch (one per old version at
  // most), and the length of the whole file's stream (0: it has none): zlib,
  // or (`whole_lzma`, "alzw") a stream as its patches' LZMA streams are.
  // Its patches' streams, then the whole file's, follow from the package's
  // position.
  uint32_t patch_lengths[kMaxReleases][4] = {};
  int patch_count = 0;
  uint32_t whole_length = 0;
  bool whole_lzma = false;
  // A file of a block of deltas patched from one of several versions: the
  // bytes of each stream that the patches before its own take, passed over
  // before its parts are read (set as it becomes a delta).
  uint64_t part_skip[4] = {};
  bool is_delta() const { return kind == RecordKind::kDelta; }
  // The bytes of stream `s` (0 to 3) a delta's or an "alts" record's patches take.
  uint64_t patch_bytes(int s) const;
  // The bytes of a delta's streams, or of all of an "alts" record's.
  int64_t streams_size() const;
  // "alts": where the streams of patch `patch` start, from the first patch's
  // (past the last patch: the whole file's stream).
  int64_t patch_offset(size_t patch) const;
};

// The most files a block of deltas holds (a build puts at most 256 in one).
inline constexpr uint64_t kMaxBlockDeltas = 1u << 12;

class RecordReader {
 public:
  // Reads the package in `package` from its position (the first record) to
  // the trailer at `payload_end`; names are joined to `root`.
  RecordReader(platform::File& package, int64_t payload_end, WString root);

  // Reads the next record's header into `record`: true when there is one
  // and it is sound. False at the trailer (failure() has no cause then) or
  // at the first fault, which failure() holds.
  bool Next(Record& record);

  // A failure of the record read last: `cause`, with the OS error of `status`.
  Failure Fault(Cause cause, platform::Status status = {}) const;

  const Failure& failure() const { return failure_; }

  // The content of the whole-file record read last into `sink`: its own
  // stream at the package's position (zlib; an "alts" record's whole file,
  // which must have the new file's size and SHA-256, LZMA in "alzw"), or
  // its part of its solid block's stream, which must have its SHA-256 (and,
  // for the block's last file, end the stream exactly). A file of a block
  // whose content is not read is read and checked by the next call of Next().
  InflateResult Content(ByteSink& sink);

  // From now on, the files of solid blocks are taken as the blocks' heads
  // state them, their streams passed over undecoded: what the package
  // holds, as a tool that has just written it counts it. Each such file's
  // content is passed with PassContent(), which gives what it took of its
  // block's stream (all of it for the block's first file, none for the rest).
  void LeaveBlocksUndecoded() { solid_.LeaveUndecoded(); }
  int64_t PassContent();

  // The packed bytes the last Content() read: a file's zlib stream, or what
  // its part of a block took of the block's stream.
  int64_t content_packed() const { return content_packed_; }

  // The four streams of the block of deltas whose file was read last, which
  // its parts are read from; null for any other record.
  SharedStream* block() const { return current_.in_block ? deltas_.streams() : nullptr; }

  // The version label the package starts with, if it has one.
  const std::optional<WString>& label() const { return label_; }

  // The labels of the releases the update is made from, where it names
  // them (an empty label for one unnamed).
  const std::vector<WString>& releases() const { return releases_; }

 private:
  // Records `cause`, with the OS error of `status`, as the failure of the
  // record read last (a read the OS refused as that); false.
  bool Stop(Cause cause, platform::Status status = {});
  // Hands the record read on; true.
  bool Hand(Record& record);
  // Hands on the next file of the solid block being read.
  bool HandMember(Record& record);
  // Reads the record that starts at the package's position.
  bool ReadRecord(Record& record);
  // Reads the next tag, past the version label and the release labels
  // where the package starts with them. Each Read… returns why it stopped
  // (kNone: it did not).
  Cause ReadTag(RecordTag& tag);
  // Reads a record's fields after its tag into current_.
  Cause ReadFields(RecordTag tag);
  // True when `name` is one the updater accepts below the root: `accepted`
  // and `target` (joined to the root) then hold it.
  bool AcceptName(const WString& name, WString& accepted, WString& target) const;
  // Reads the release labels ("rels").
  Cause ReadReleases();
  // Reads `count` versions of a removal, or (`patches`) of an "alts" record.
  Cause ReadVersions(bool patches);
  // Reads the rest of an "alts" record after its times.
  Cause ReadChoice();
  // Reads a solid block's head: its files, then its coding (solid_);
  // (`after_block`) one whose window starts with the block before's end.
  Cause ReadSolid(bool after_block, platform::Status& status);
  // Reads a record's entry name into current_, which must be new to the package.
  Cause ReadTarget(bool removal);
  // Reads an old-name field into `old_name`: the record's own name where
  // it is empty, else a name the updater accepts. `removed`, where given,
  // says whether the update removes the old name; elsewhere that is refused.
  Cause ReadOldNameInto(WString& old_name, bool* removed = nullptr);
  // Reads what a delta's header holds after its times into current_: the
  // old file's name, the delta header and the four stream lengths.
  Cause ReadDeltaTail();
  // Hands on the removal of an old name a delta said the update removes.
  bool HandRemoval(Record& record);
  // Reads a block of deltas' head: its files, then its streams (deltas_).
  Cause ReadDeltaBlock(platform::Status& status);
  // The record's own stream at the package's position into `sink` (zlib,
  // or an "alzw" record's whole stream, WholeLzma), the package left after it.
  InflateResult OwnStream(ByteSink& sink);
  InflateResult WholeLzma(ByteSink& sink);
  // True when `size` bytes hashed into `hash` are the new file the record
  // read last states (its size and SHA-256).
  bool IsNewFile(platform::Sha256& hash, uint64_t size) const;

  platform::File& package_;
  int64_t payload_end_;
  int64_t start_;  // of the first record
  WString root_;
  PackagePaths paths_;  // every target so far, folded
  Record current_;
  Failure failure_;
  Framing framing_;  // how the records lay out their fields
  std::optional<WString> label_;
  std::vector<WString> releases_;
  SolidCursor solid_;        // the solid block read last
  DeltaBlockCursor deltas_;  // the block of deltas being read
  bool unread_ = false;      // the file handed on last has its bytes still in the block's stream
  // The removals of old files that deltas said, handed on after the last
  // record, as a build writes its other removals: each its name and the old
  // file's size and SHA-256 (no more: a package may say millions), in
  // `old_removed_` 40 bytes each.
  std::vector<WString> old_removals_;
  std::vector<uint8_t> old_removed_;
  size_t old_removals_handed_ = 0;
  int64_t content_packed_ = 0;
};

// Why a package LocatePayload did not find is refused (kNone when found).
Cause CauseOf(LocateResult located);

// Opens the update at `path` and finds its payload: the package positioned
// at the first record, and the trailer's offset in `payload_end`.
Failure OpenPackage(const WString& path, platform::File& package, int64_t& payload_end);

}  // namespace updater::package
