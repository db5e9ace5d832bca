// What the record jobs share (solid_jobs.cc, delta_block_jobs.cc,
// lone_jobs.cc): a block coded before its record is written, the record of
// one patch, the patches of a file's versions, and how a record is written
// into memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "release/record_jobs.h"

namespace updater::release {

// A record written into `record`, its fields framed from `framing` on (each
// job frames its first record after the record before it).
struct RecordOut {
  RecordOut(std::vector<uint8_t>& record, const package::Framing& framing) : frame(framing) {
    out.memory = &record;
    out.framing = &frame;
  }
  RecordOut(const RecordOut&) = delete;
  RecordOut& operator=(const RecordOut&) = delete;

  package::Framing frame;
  package::PackageOut out;
};

// The patch-or-whole choice, made here for every job: a patch made
// (`patched`) wins where the whole file's coding stopped early, as soon as
// it could no longer be the smaller (`whole_size` 0), or where it is smaller.
inline bool PatchWins(bool patched, size_t patch_size, size_t whole_size) {
  return patched && (whole_size == 0 || patch_size < whole_size);
}

// A solid block coded, its record not yet written (which frames its fields
// after the record before it).
struct CodedBlock {
  std::vector<package::SolidMember> members;
  delta::LzmaStream stream;
  uint32_t preset = 0;  // bytes of the block before in the window at the start
};

// How a solid block meets the blocks beside it (solid_jobs.cc).
struct BlockLinks;

// What the first bytes of a file read whole, coded as its block codes
// them, tell of whether the block would pass a patch's size (solid_jobs.cc).
struct WholeProbe {
  size_t bound = 0;     // made for patches of up to this many bytes (0: not made)
  bool coded = false;   // a coder took its first streams (else nothing told)
  bool passed = false;  // its output passed the bound (as lowered by then) by the margin,
  size_t bytes = 0;     // else came to this many bytes
};

// The probe of `file`'s block, for patches of up to `bound` bytes, or of
// up to `*lowered`, where another thread lowers it as patches are made: its
// coding stops as soon as it passes the bound as it is then.
WholeProbe ProbeWhole(const SolidFile& file, delta::LzmaLevel level, size_t bound,
                      const std::atomic<size_t>* lowered = nullptr);

// Codes `files` as one block into `block`, after the end of the block
// before where `links` has one; its members stay empty where the stream
// would pass `largest` bytes: its coding stops there, or before it starts
// where `probe` (or a probe made here, for one file) tells it would.
Failure CodeSolid(std::vector<SolidFile> files, delta::LzmaLevel level, CodedBlock& block,
                  std::atomic<int64_t>* progress, size_t largest, const BlockLinks* links = nullptr,
                  const WholeProbe* probe = nullptr);

// The record of a coded block ("sold", or "solc" after a preset).
void WriteSolid(const CodedBlock& block, package::PackageOut& out);

// The record of a delta: header, old name, delta header, the four stream
// lengths, then the four streams; given `literals_after_old`, a "dlzo"
// record whose literals are those. `removes_old`: the record says that the
// update removes the old name (compactly framed only).
void WriteDeltaRecord(const WString& name, const WString& old_name, const EntryTimes& times,
                      const package::DeltaHeader& header, const delta::PatchStreams& streams,
                      bool lzma, package::PackageOut& out,
                      const std::vector<uint8_t>& literals_after_old = {},
                      bool removes_old = false);

// The patches of the file at `path` from each distinct one of `olds` into
// `patches` (and their streams as they decode into `raw`, where given),
// each version with the index of its patch into `versions`, and the new
// file's size and SHA-256 into `made`. Only the first encoding is given
// `limits.progress`: the new file's bytes count once. False where a version
// has no patch (an empty file, or, with `check`, one changed since it was
// listed: its SHA-256 is not the one it was listed with).
bool PatchVersions(const WString& path, const std::vector<OldVersion>& olds, bool check,
                   delta::EncodeLimits limits, const delta::PatchCoding& coding,
                   std::vector<package::Version>& versions,
                   std::vector<delta::PatchStreams>& patches, package::DeltaHeader& made,
                   std::vector<delta::PatchStreams>* raw = nullptr,
                   std::vector<uint8_t>* literals_after_old = nullptr);

// The old names `olds` are read at, and the four stream lengths of each of
// `patches`, as an "alts" record's fields list them.
std::vector<WString> OldNames(const std::vector<OldVersion>& olds);
std::vector<uint32_t> PatchLengths(const std::vector<delta::PatchStreams>& patches);

}  // namespace updater::release
