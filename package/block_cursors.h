// The two kinds of block a package holds, each read as a cursor over its
// files: a solid block ("sold", "solc") decodes one LZMA stream that holds
// its files one after the other; a block of deltas ("dblk") has four
// streams that each of its files takes its parts of. The reader reads the
// files' headers (their names are the reader's to check); a cursor reads
// the block's coding, hands the files on in order and reads their bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/content_stream.h"
#include "package/decode_ahead.h"
#include "package/failure.h"
#include "package/format.h"
#include "platform/file.h"

namespace updater::package {

struct Record;

class SolidCursor {
 public:
  // Reads the block's coding after its files `members` (the coder's
  // settings, the window, a "solc" block's `preset` from the block before,
  // the stream's length) and starts decoding its stream; the package is
  // left after the stream, inside `payload_end`. Why not, and a failed
  // call's `status`.
  Cause Open(platform::File& package, const Framing& framing, int64_t payload_end,
             std::vector<SolidMember> members, bool after_block, platform::Status& status);

  // Blocks opened from now on are passed over undecoded (a "solc" block's
  // preset unchecked): their files' sizes and hashes are as the heads say.
  void LeaveUndecoded() { undecoded_ = true; }
  // The bytes of the block's stream.
  int64_t packed() const { return packed_; }

  bool HasNext() const { return next_ < members_.size(); }
  // The next file, handed on; Decode() reads its bytes.
  const SolidMember& Next() { return members_[next_++]; }
  bool IsLast() const { return next_ == members_.size(); }
  bool IsFirst() const { return next_ == 1; }

  // The bytes of the file handed on last into `sink`, through its filter;
  // `packed` the stream's bytes they took. The last file must end the
  // stream exactly. Then, for the last, End() with whether every file was
  // sound.
  InflateResult Decode(ByteSink& sink, int64_t& packed);
  void End(bool sound);

  // A record that is not of a solid block comes: the window goes, so that
  // a delta's streams have the memory, and no block may start from it.
  void DropWindow();

 private:
  platform::File* package_ = nullptr;  // where a file's map is read
  int64_t after_ = 0;                  // where the package goes on after the block
  int64_t packed_ = 0;                 // of the block's stream
  bool undecoded_ = false;
  std::vector<SolidMember> members_;  // the block's files, in order
  size_t next_ = 0;
  std::vector<uint8_t> window_;           // the blocks' in a row, in turn
  std::unique_ptr<DecodeAhead> decoder_;  // decoding into window_ until it goes
  // What window_ holds of the stream decoded last: its ring ends at
  // `ring_end_`, and its last `held_` bytes a "solc" block may start with
  // (none unless that block was decoded whole, with every file sound).
  size_t ring_end_ = 0;
  uint64_t held_ = 0;
  // The block being read: its preset and files' bytes, and its ring's size.
  uint64_t total_ = 0, ring_ = 0;
};

class DeltaBlockCursor {
 public:
  // Reads the block's four streams' settings and lengths after its files
  // `deltas` and places the streams back to back from there, inside
  // `payload_end`: each must hold exactly its files' parts. The package is
  // left after them. Why not, and a failed call's `status`.
  Cause Open(platform::File& package, const Framing& framing, int64_t payload_end,
             std::vector<Record> deltas, platform::Status& status);

  bool active() const { return streams_ != nullptr; }
  bool HasNext() const { return next_ < deltas_.size(); }
  // The next file, handed on (its streams are its parts of streams()).
  Record Next();
  SharedStream* streams() const { return streams_.get(); }

  // Passes over what the file handed on last left of its parts; after the
  // last file, checks that the streams end soundly and leaves the package
  // after them, the block closed. Why not, and a failed call's `status`.
  Cause PassPart(platform::File& package, platform::Status& status);

 private:
  std::vector<Record> deltas_;
  size_t next_ = 0;
  std::unique_ptr<SharedStream[]> streams_;
  uint64_t left_after_[4] =
      {};            // what each stream has left once the file handed on last has its part
  int64_t end_ = 0;  // where the block ends
};

}  // namespace updater::package
