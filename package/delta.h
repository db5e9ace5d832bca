// Delta records: a file rebuilt from a file of the old release. After the
// tag "dstr", the name and the three times (as in a "file" record) come the
// old file's name (as a name is written; no units for the file's own name,
// another for a move), the old file's size (8 bytes) and SHA-256, the new
// file's size and SHA-256, the lengths (4 bytes each) of four zlib streams,
// and the streams back to back: the operations, the gaps, the values and
// the literal bytes, kept apart so that deflate sees like data together.
//
// Each operation starts with a varint V (7 bits a byte, low first): V & 3 is
// its kind (0 literal, 1 copy, 2 difference, 3 the references operation)
// and V >> 2 its length, at least 1. The references operation, only first,
// says that the differences are taken against predicted references (see
// package/references.h; V >> 2 says which), and makes no bytes. A copy or a difference then holds a
// zigzag varint: the step from the end of the previous one (0 at first) to where it starts in the
// old file. A copy takes bytes of the old file; a difference takes them too, each plus the next
// byte of the differences (modulo 256), so that code whose addresses moved patches with a few small
// values among zeros; a literal takes its bytes from the literal stream. The differences of all the
// differences in a row are coded sparsely: each value (not zero) in the values stream, after as
// many zeros as the next varint of the gaps stream says; past the last value they are all zero. The
// lengths add up to the new file's size, every copy and difference lies inside the old file, and
// each stream ends exactly where its length says, with every byte used.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "package/content_stream.h"
#include "package/deflate_form.h"
#include "package/format.h"
#include "package/references.h"
#include "platform/file.h"

namespace updater::package {

struct DeltaHeader {
  uint64_t old_size = 0;
  uint8_t old_hash[32] = {};
  uint64_t new_size = 0;
  uint8_t new_hash[32] = {};
  // Read from a record framed compactly as a moved file (FramedAsMoved): no
  // streams follow, and the new file is the old file's bytes.
  bool moved = false;
};

// The largest size a delta or a removal may declare for a file: 16 TiB, past
// what the file systems a game lives on hold. A larger one is a damaged record.
inline constexpr uint64_t kMaxFileSize = uint64_t{1} << 44;

// Writes the sizes and hashes that follow a delta record's times.
bool WriteDeltaHeader(PackageOut& out, const DeltaHeader& header);

// True where `out` frames the delta of `header` as a moved file: compactly,
// the new file the old one (its size and SHA-256). Its record then has no
// streams (in a block of deltas, no parts): one copy of the whole old file.
bool FramedAsMoved(const PackageOut& out, const DeltaHeader& header);

// A file's size and SHA-256, as a removal, a version of "alts" and a file
// of a solid block hold them (and a delta header twice over).
struct SizedHash {
  uint64_t size = 0;
  uint8_t hash[32] = {};
};

// Reads a size and SHA-256; none when the stream ends inside them or the
// size passes kMaxFileSize.
std::optional<SizedHash> ReadSizedHash(platform::File& package, const Framing* framing = nullptr);

// The old-name field of a delta and of each version of "alts": the name the
// old file is read at, written empty where it is the record's own `name`;
// compactly as the units it shares with the old name before it, the units
// between, and how many of the entry name's last units end it (a moved
// folder's names share most units with the one before and end as their new
// names do), and whether the update removes the old name (`removes`: only
// compactly, for a delta's, which then stands for the old file's removal).
bool WriteOldName(PackageOut& out, const WString& name, const WString& old_name,
                  bool removes = false);

// Reads an old-name field of a record about `name`: empty for its own name;
// `removes` tells whether the update removes the old name.
std::optional<WString> ReadOldName(platform::File& package, Framing& framing, const WString& name,
                                   bool& removes);

// Reads a delta header: the old file's size and SHA-256, then the new one's.
std::optional<DeltaHeader> ReadDeltaHeader(platform::File& package,
                                           const Framing* framing = nullptr);

// Writes a removal record of `name`, whose old release held `size` bytes with `hash`.
bool WriteRemovalRecord(PackageOut& out, const WString& name, uint64_t size,
                        const uint8_t (&hash)[32]);

struct Version;

// Writes a removal of whichever of `versions` is installed ("rmvs"), where
// the releases `current_in` hold no file there.
bool WriteRemoveAnyRecord(PackageOut& out, const WString& name, uint32_t current_in,
                          const std::vector<Version>& versions);

// Writes the head of an "alts" record: the tag, the name and `times`, the
// new file's size and SHA-256 (in `made`'s new_*), the releases that hold
// it already, its old versions (each read at its name in `old_names`), the
// four stream lengths of each patch and the length of the whole file's
// stream (0 for none); with `lzma_patches` the tag is "alzm", or with a
// whole file "alzw" (its stream then as the patches' are). Its streams follow.
bool WriteChoiceHead(PackageOut& out, const WString& name, const EntryTimes& times,
                     const DeltaHeader& made, uint32_t current_in,
                     const std::vector<Version>& versions, const std::vector<WString>& old_names,
                     const std::vector<uint32_t>& patch_lengths, uint32_t whole_length,
                     bool lzma_patches = false);

// The same fields after the name and times (a file of a block of deltas).
bool WriteChoiceFields(PackageOut& out, const WString& name, const DeltaHeader& made,
                       uint32_t current_in, const std::vector<Version>& versions,
                       const std::vector<WString>& old_names,
                       const std::vector<uint32_t>& patch_lengths, uint32_t whole_length);

// Writes the labels of the releases an update is made from ("rels").
bool WriteReleaseLabels(PackageOut& out, const std::vector<WString>& labels);

// Appends `value` as a varint (7 bits a byte, low first).
void AppendVarint(std::vector<uint8_t>& out, uint64_t value);

// The kinds of operation.
enum class SplitOp { kLiteral = 0, kCopy = 1, kDifference = 2 };

// Appends an operation: its kind and length, and for a copy or a
// difference the step from the end of the previous one to its start.
void AppendSplitOp(std::vector<uint8_t>& ops, SplitOp kind, uint64_t length, int64_t step);

// What the operations of a delta are handed to; false stops them.
class DeltaSink {
 public:
  // Copies `length` bytes of the old file from `offset`.
  virtual bool Copy(uint64_t offset, uint64_t length) = 0;
  // `length` bytes of the literal stream.
  virtual bool Literal(uint64_t length) = 0;
  // `length` bytes of the old file from `offset`, each plus the next byte
  // of the difference stream.
  virtual bool Difference(uint64_t offset, uint64_t length) = 0;
  // From here on the differences are taken against the references `map`
  // predicts (a patch's first operation said so); it outlives the sink's use.
  virtual bool PredictReferences(const ReferenceMap& map) {
    (void)map;
    return true;
  }
  // The patch is in inflated form (package/deflate_form.h): the operations
  // make `map`'s inflated new file from its inflated old one. The sink may
  // take the map; else it lives only for the call.
  virtual bool InflatedForm(DeflateMap& map) {
    (void)map;
    return true;
  }

 protected:
  ~DeltaSink() = default;
};

// Reads an operation stream fed piece by piece and hands each operation on,
// checked: a copy or difference only when it lies inside the old file,
// nothing beyond the new file's size.
class DeltaOps {
 public:
  DeltaOps(uint64_t old_size, uint64_t new_size, DeltaSink& sink);

  // Consumes `size` bytes; false at the first fault or when a sink fails.
  bool Feed(const uint8_t* data, size_t size);

  // True when the stream ended between operations with the new size made.
  bool Complete() const;

  // The patch is in inflated form: the operations make `map`'s inflated files.
  bool InflatedForm(DeflateMap& map) {
    old_size_ = map.old_size;
    new_size_ = map.new_size;
    return sink_.InflatedForm(map);
  }

  // The map a references operation first in the stream must match.
  void set_references(const ReferenceMap* map) { references_ = map; }
  uint64_t old_size() const { return old_size_; }
  uint64_t new_size() const { return new_size_; }

 private:
  bool ReadVarint(uint8_t byte);
  bool EndHead();
  bool EndStep();

  enum class State { kHead, kStep } state_ = State::kHead;
  uint64_t old_size_, new_size_;
  DeltaSink& sink_;
  bool difference_ = false;  // the operation being read
  uint64_t value_ = 0;       // the varint being read
  int shift_ = 0;
  uint64_t length_ = 0;    // of the operation being read
  uint64_t made_ = 0;      // bytes of the new file so far
  uint64_t copy_end_ = 0;  // where the previous copy ended in the old file
  bool first_ = true;      // no operation read yet
  const ReferenceMap* references_ = nullptr;
};

// The map of a patch whose whole operation stream `ops` starts with the
// references operation; false where the stream is damaged (as DeltaOps
// reads it) or past kMostPredictedOperations, or the map past kMostMapPieces.
bool ReadReferenceMap(const std::vector<uint8_t>& ops, uint64_t old_size, uint64_t new_size,
                      ReferenceMap& map);

// The four streams of a delta record, read side by side from where they
// start in the package.
class SplitStreams {
 public:
  // `lzma`: each stream coded as StreamPuller reads it with `lzma`.
  // Given `block`, a file's parts of these `lengths` of a block's four streams instead.
  // `literals_after_old`, `old`: the literals as StreamPuller reads them with those.
  SplitStreams(const platform::File& package, int64_t start, const uint32_t (&lengths)[4],
               bool lzma = false, SharedStream* block = nullptr, bool literals_after_old = false,
               std::vector<uint8_t>* old = nullptr);

  // The next `size` bytes of the differences into `out`: zeros, but for the
  // values where the gaps place them. False when the streams run out first.
  bool Differences(uint8_t* out, size_t size);

  // Passes over the next `size` bytes of the differences, a run of zeros in
  // one step, for readers that only check a delta's structure.
  bool SkipDifferences(uint64_t size);

  StreamPuller operations, gaps, values, literals;

 private:
  // Reads the next gap into zeros_, or at the gaps' end no more values.
  bool NextGap();

  size_t zeros_ = 0;  // zero differences before the next value
  bool started_ = false;
  bool more_ = false;  // a value follows them
};

// Feeds every operation of `streams` to `ops` (whose sink pulls the
// differences and literals): kDone when all four streams then end whole.
InflateResult RunSplitDelta(SplitStreams& streams, DeltaOps& ops);

}  // namespace updater::package
