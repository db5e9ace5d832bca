// Delta records: a file rebuilt from the file it replaces. After the tag
// "dlta", the name and the three times (as in a "file" record) come the old
// file's size (8 bytes) and SHA-256, the new file's size and SHA-256, and one
// zlib stream of operations. Each operation starts with a varint V (7 bits a
// byte, low first): V & 1 is 1 for a copy, 0 for an add, and V >> 1 is its
// length, at least 1. A copy then holds a zigzag varint: the step from the
// end of the previous copy (0 at first) to where it starts in the old file.
// An add then holds its length of literal bytes. The lengths add up to the
// new file's size, and every copy lies inside the old file.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "package/format.h"
#include "platform/file.h"

namespace updater::package {

struct DeltaHeader {
  uint64_t old_size = 0;
  uint8_t old_hash[32] = {};
  uint64_t new_size = 0;
  uint8_t new_hash[32] = {};
};

// Writes the sizes and hashes that follow a delta record's times.
bool WriteDeltaHeader(PackageOut& out, const DeltaHeader& header);

// Reads them; none when the stream ends inside them.
std::optional<DeltaHeader> ReadDeltaHeader(platform::File& package);

// Writes a removal record of `name`, whose old release held `size` bytes with `hash`.
bool WriteRemovalRecord(PackageOut& out, const WString& name, uint64_t size,
                        const uint8_t (&hash)[32]);

// Reads the size and hash that follow a removal's name, as a header's old ones.
std::optional<DeltaHeader> ReadRemovedFile(platform::File& package);

// Appends a copy of `length` bytes starting `step` bytes from the end of the previous copy.
void AppendDeltaCopy(std::vector<uint8_t>& ops, int64_t step, uint64_t length);

// Appends an add of `size` literal bytes.
void AppendDeltaAdd(std::vector<uint8_t>& ops, const uint8_t* data, size_t size);

// What the operations of a delta are handed to; false stops them.
class DeltaSink {
 public:
  // Copies `length` bytes of the old file from `offset`.
  virtual bool Copy(uint64_t offset, uint64_t length) = 0;
  // Adds `size` literal bytes (an add may come in several pieces).
  virtual bool Add(const uint8_t* data, size_t size) = 0;

 protected:
  ~DeltaSink() = default;
};

// Reads an operation stream fed piece by piece and hands each operation on,
// checked: a copy only when it lies inside the old file, nothing beyond the
// new file's size.
class DeltaOps {
 public:
  DeltaOps(uint64_t old_size, uint64_t new_size, DeltaSink& sink);

  // Consumes `size` bytes; false at the first fault or when a sink fails.
  bool Feed(const uint8_t* data, size_t size);

  // True when the stream ended between operations with the new size made.
  bool Complete() const;

 private:
  bool ReadVarint(uint8_t byte);
  bool EndHead();
  bool EndStep();

  enum class State { kHead, kStep, kLiteral } state_ = State::kHead;
  uint64_t old_size_, new_size_;
  DeltaSink& sink_;
  uint64_t value_ = 0;  // the varint being read
  int shift_ = 0;
  uint64_t length_ = 0;    // of the operation being read
  uint64_t made_ = 0;      // bytes of the new file so far
  uint64_t copy_end_ = 0;  // where the previous copy ended in the old file
};

}  // namespace updater::package
