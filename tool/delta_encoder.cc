#include "tool/delta_encoder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "pack/package_builder.h"
#include "package/delta.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"

namespace updater::tool {

namespace {

constexpr size_t kBlock = 32;                       // bytes hashed per index entry
constexpr uint64_t kMultiplier = 0x100000001B3ull;  // of the rolling hash

// A rolling polynomial hash over the last kBlock bytes.
class RollingHash {
 public:
  RollingHash() {
    for (size_t i = 1; i < kBlock; ++i) top_power_ *= kMultiplier;
  }
  uint64_t Start(const uint8_t* p) {
    value_ = 0;
    for (size_t i = 0; i < kBlock; ++i) value_ = value_ * kMultiplier + p[i];
    return value_;
  }
  // Drops `out` from the front and takes `in` at the back.
  uint64_t Roll(uint8_t out, uint8_t in) {
    value_ = (value_ - out * top_power_) * kMultiplier + in;
    return value_;
  }

 private:
  uint64_t top_power_ = 1;
  uint64_t value_ = 0;
};

// Aligned blocks of the source by hash; a slot holds block number + 1.
struct BlockIndex {
  std::vector<uint32_t> slots;
  int shift = 64;
  size_t Slot(uint64_t hash) const {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift);
  }
};

std::optional<BlockIndex> IndexSource(const uint8_t* source, size_t size) {
  size_t blocks = size / kBlock;
  if (blocks >= 0xFFFFFFFFu) return std::nullopt;
  BlockIndex index;
  int bits = 10;
  while ((size_t{1} << bits) < 2 * blocks) ++bits;
  index.slots.assign(size_t{1} << bits, 0);
  index.shift = 64 - bits;
  RollingHash hash;
  for (size_t b = 0; b < blocks; ++b) {
    uint32_t& slot = index.slots[index.Slot(hash.Start(source + b * kBlock))];
    if (slot == 0) slot = static_cast<uint32_t>(b + 1);  // the first of equal blocks
  }
  return index;
}

struct Op {
  bool copy;
  uint64_t from;  // in the source (copy) or the target (add)
  uint64_t length;
};

// One stretch of the target, encoded on one thread.
struct Stretch {
  const uint8_t* source;
  size_t source_size;
  const uint8_t* target;
  size_t begin, end;
  const BlockIndex* index;
  std::vector<Op> ops;
  bool too_literal = false;
};

// Adds the literal bytes [start, end) of the target, if any.
void AddLiteral(Stretch& s, size_t start, size_t end, size_t& literal_bytes) {
  if (end <= start) return;
  s.ops.push_back({false, start, end - start});
  literal_bytes += end - start;
}

void EncodeStretch(void* argument) {
  Stretch& s = *static_cast<Stretch*>(argument);
  RollingHash hash;
  size_t literal_start = s.begin, literal_bytes = 0, budget = (s.end - s.begin) / 2;
  size_t pos = s.begin;
  uint64_t h = pos + kBlock <= s.end ? hash.Start(s.target + pos) : 0;
  while (pos + kBlock <= s.end) {
    uint32_t slot = s.index->slots[s.index->Slot(h)];
    size_t from = static_cast<size_t>(slot - 1) * kBlock;
    if (slot != 0 && std::memcmp(s.source + from, s.target + pos, kBlock) == 0) {
      size_t back = 0;
      while (back < pos - literal_start && back < from &&
             s.source[from - back - 1] == s.target[pos - back - 1]) {
        ++back;
      }
      size_t length = kBlock;
      while (pos + length < s.end && from + length < s.source_size &&
             s.source[from + length] == s.target[pos + length]) {
        ++length;
      }
      AddLiteral(s, literal_start, pos - back, literal_bytes);
      s.ops.push_back({true, from - back, back + length});
      pos += length;
      literal_start = pos;
      if (pos + kBlock <= s.end) h = hash.Start(s.target + pos);
      continue;
    }
    if (pos + kBlock < s.end) h = hash.Roll(s.target[pos], s.target[pos + kBlock]);
    ++pos;
    if (pos - literal_start + literal_bytes > budget) {
      s.too_literal = true;
      return;
    }
  }
  AddLiteral(s, literal_start, s.end, literal_bytes);
  s.too_literal = literal_bytes > budget;
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeDelta(const uint8_t* source, size_t source_size,
                                                const uint8_t* target, size_t target_size,
                                                int threads) {
  std::optional<BlockIndex> index = IndexSource(source, source_size);
  if (!index) return std::nullopt;
  // Each thread takes a stretch of at least a few MiB.
  size_t count = std::max<size_t>(1, std::min<size_t>(threads, target_size >> 22));
  std::vector<Stretch> stretches;
  for (size_t i = 0; i < count; ++i) {
    stretches.push_back({source,
                         source_size,
                         target,
                         target_size * i / count,
                         target_size * (i + 1) / count,
                         &*index,
                         {},
                         false});
  }
  std::vector<platform::Thread> workers;
  for (size_t i = 1; i < count; ++i) {
    platform::Result<platform::Thread> worker = platform::StartThread(EncodeStretch, &stretches[i]);
    if (!worker) EncodeStretch(&stretches[i]);
    if (worker) workers.push_back(std::move(*worker));
  }
  EncodeStretch(&stretches[0]);
  workers.clear();  // each joins as it goes
  std::vector<uint8_t> stream;
  uint64_t copy_end = 0;
  for (const Stretch& s : stretches) {
    if (s.too_literal) return std::nullopt;
    for (const Op& op : s.ops) {
      if (!op.copy) {
        package::AppendDeltaAdd(stream, target + op.from, static_cast<size_t>(op.length));
        continue;
      }
      package::AppendDeltaCopy(stream, static_cast<int64_t>(op.from - copy_end), op.length);
      copy_end = op.from + op.length;
    }
  }
  return stream;
}

namespace {

void Digest(const uint8_t* data, size_t size, uint8_t (&digest)[32], bool& ok) {
  platform::Sha256 hash;
  hash.Update(data, size);
  ok = hash.Finish(digest) && ok;
}

// The size of the record that packs the file whole, as a build writes it.
int64_t WholeRecordSize(const WString& name, const WString& path, const EntryTimes& times,
                        int threads) {
  package::PackageOut counter;  // no file: only counted
  platform::Result<platform::File> source = pack::OpenTreeFile(path);
  package::ParallelDeflater deflater(counter, threads);
  bool ok = source && deflater.AddRecord(name, times, *source) == package::DeflateResult::kOk &&
            deflater.Finish();
  return ok ? counter.size : 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> MakeDeltaRecord(const WString& name, const WString& new_path,
                                                    const WString& old_name,
                                                    const WString& old_path,
                                                    const EntryTimes& times, int threads) {
  platform::MappedFile old_file(old_path), new_file(new_path);
  if (!old_file.data() || !new_file.data()) return std::nullopt;
  std::optional<std::vector<uint8_t>> ops =
      EncodeDelta(old_file.data(), old_file.size(), new_file.data(), new_file.size(), threads);
  if (!ops) return std::nullopt;
  package::DeltaHeader header;
  header.old_size = old_file.size();
  header.new_size = new_file.size();
  bool hashed = true;
  Digest(old_file.data(), old_file.size(), header.old_hash, hashed);
  Digest(new_file.data(), new_file.size(), header.new_hash, hashed);
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(ops->size())));
  uLongf packed_size = static_cast<uLongf>(packed.size());
  if (!hashed || compress2(packed.data(), &packed_size, ops->data(),
                           static_cast<uLong>(ops->size()), Z_BEST_COMPRESSION) != Z_OK) {
    return std::nullopt;
  }
  std::vector<uint8_t> record;
  package::PackageOut out;
  out.memory = &record;
  bool moved = old_name != name;
  package::WriteEntryHeader(out, name, times, moved ? package::kMovedDeltaTag : package::kDeltaTag);
  if (moved) package::WriteEntryName(out, old_name);
  package::WriteDeltaHeader(out, header);
  package::WriteToPackage(out, packed.data(), packed_size);
  int64_t whole = WholeRecordSize(name, new_path, times, threads);
  if (whole == 0 || static_cast<int64_t>(record.size()) >= whole) return std::nullopt;
  return record;
}

bool HashTreeFile(const WString& path, uint8_t (&digest)[32]) {
  platform::Result<platform::File> file = pack::OpenTreeFile(path);
  if (!file) return false;
  platform::Sha256 hash;
  std::vector<uint8_t> buffer(1 << 16);
  while (size_t got = file->Read(buffer.data(), buffer.size())) hash.Update(buffer.data(), got);
  return file->status().ok() && hash.Finish(digest);
}

namespace {

WString LeafOf(const WString& name) { return name.substr(name.rfind(u'\\') + 1); }

WString ExtensionOf(const WString& leaf) {
  size_t dot = leaf.rfind(u'.');
  return dot == WString::npos ? WString() : leaf.substr(dot);
}

size_t CommonPrefix(const WString& a, const WString& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

}  // namespace

OldRelease::OldRelease(std::vector<pack::TreeFile> files, const std::vector<WString>& new_names)
    : files_(std::move(files)), gone_(files_.size()), hashes_(files_.size()) {
  std::vector<WString> sorted = new_names;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < files_.size(); ++i) {
    gone_[i] = !std::binary_search(sorted.begin(), sorted.end(), files_[i].name);
  }
}

const uint8_t* OldRelease::HashOf(size_t index) {
  if (!hashes_[index]) {
    std::array<uint8_t, 32> digest{};
    uint8_t raw[32];
    if (HashTreeFile(files_[index].path, raw)) std::copy(raw, raw + 32, digest.begin());
    hashes_[index] = digest;
  }
  return hashes_[index]->data();
}

const pack::TreeFile* OldRelease::SourceFor(const WString& name, const WString& path,
                                            int64_t size) {
  for (const pack::TreeFile& f : files_) {
    if (f.name == name) return &f;
  }
  uint8_t digest[32];
  bool hashed = false;
  for (size_t i = 0; i < files_.size(); ++i) {
    if (files_[i].size != size || size == 0) continue;
    if (!hashed && !(hashed = HashTreeFile(path, digest))) break;
    if (std::equal(digest, digest + 32, HashOf(i))) return &files_[i];
  }
  // A file the new release no longer has, named like this one and of like size.
  WString leaf = LeafOf(name), extension = ExtensionOf(leaf);
  const pack::TreeFile* best = nullptr;
  size_t best_score = 0;
  int64_t best_gap = 0;
  for (size_t i = 0; i < files_.size(); ++i) {
    const pack::TreeFile& f = files_[i];
    if (!gone_[i] || f.size == 0 || f.size > 2 * size || size > 2 * f.size) continue;
    WString other = LeafOf(f.name);
    size_t score = other == leaf ? 1000000 : 0;
    if (!score && ExtensionOf(other) == extension && 2 * CommonPrefix(other, leaf) >= leaf.size()) {
      score = CommonPrefix(other, leaf) + 1;
    }
    int64_t gap = f.size > size ? f.size - size : size - f.size;
    if (score > best_score || (score != 0 && score == best_score && gap < best_gap)) {
      best = &f;
      best_score = score;
      best_gap = gap;
    }
  }
  return best;
}

}  // namespace updater::tool
