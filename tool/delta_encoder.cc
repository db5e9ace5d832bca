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

// SA-IS (Nong, Zhang and Chan): sorts the suffixes of `s`, `n` symbols
// below `k` whose last is a unique smallest, into `sa`. `l_type[i]`: the
// suffix at i is larger than the one after it.
template <typename T>
void InduceSort(const T* s, int32_t n, int32_t k, const std::vector<bool>& l_type,
                const std::vector<int32_t>& lms, std::vector<int32_t>& sa) {
  // bucket[c] is where the suffixes starting with c begin, bucket[c + 1] where they end.
  std::vector<int32_t> bucket(k + 1, 0);
  for (int32_t i = 0; i < n; ++i) ++bucket[s[i] + 1];
  for (int32_t c = 0; c < k; ++c) bucket[c + 1] += bucket[c];
  std::vector<int32_t> next(bucket.begin() + 1, bucket.end());
  std::fill(sa.begin(), sa.end(), -1);
  for (auto i = lms.rbegin(); i != lms.rend(); ++i) sa[--next[s[*i]]] = *i;
  next.assign(bucket.begin(), bucket.end() - 1);
  for (int32_t j = 0; j < n; ++j) {
    int32_t i = sa[j];
    if (i >= 1 && l_type[i - 1]) sa[next[s[i - 1]]++] = i - 1;
  }
  next.assign(bucket.begin() + 1, bucket.end());
  for (int32_t j = n - 1; j >= 0; --j) {
    int32_t i = sa[j];
    if (i >= 1 && !l_type[i - 1]) sa[--next[s[i - 1]]] = i - 1;
  }
}

template <typename T>
std::vector<int32_t> Sais(const T* s, int32_t n, int32_t k) {
  std::vector<int32_t> sa(n);
  std::vector<bool> l_type(n);
  std::vector<int32_t> lms;  // the leftmost S positions, in text order
  for (int32_t i = n - 2; i >= 0; --i) {
    l_type[i] = s[i] > s[i + 1] || (s[i] == s[i + 1] && l_type[i + 1]);
    if (l_type[i] && !l_type[i + 1]) lms.push_back(i + 1);
  }
  std::reverse(lms.begin(), lms.end());
  InduceSort(s, n, k, l_type, lms, sa);
  auto is_lms = [&l_type](int32_t i) { return i >= 1 && l_type[i - 1] && !l_type[i]; };
  std::vector<int32_t> sorted;
  sorted.reserve(lms.size());
  for (int32_t i : sa) {
    if (is_lms(i)) sorted.push_back(i);
  }
  // Name each LMS substring by its rank among them (kept in `sa` at its position).
  int32_t name = 0;
  sa[sorted[0]] = 0;
  for (size_t j = 1; j < sorted.size(); ++j) {
    int32_t a = sorted[j - 1], b = sorted[j];
    bool differ = s[a] != s[b];
    for (int32_t x = a + 1, y = b + 1; !differ; ++x, ++y) {
      if (s[x] != s[y]) differ = true;
      bool ends_x = is_lms(x), ends_y = is_lms(y);
      if (differ || ends_x || ends_y) {
        differ = differ || ends_x != ends_y;
        break;
      }
    }
    sa[b] = differ ? ++name : name;
  }
  if (name + 1 < static_cast<int32_t>(lms.size())) {  // names repeat: sort them first
    std::vector<int32_t> reduced(lms.size());
    for (size_t j = 0; j < lms.size(); ++j) reduced[j] = sa[lms[j]];
    std::vector<int32_t>().swap(sorted);
    std::vector<int32_t> order =
        Sais(reduced.data(), static_cast<int32_t>(reduced.size()), name + 1);
    sorted.resize(lms.size());
    for (size_t j = 0; j < lms.size(); ++j) sorted[j] = lms[order[j]];
  }
  InduceSort(s, n, k, l_type, sorted, sa);
  return sa;
}

}  // namespace

std::vector<int32_t> SuffixArray(const uint8_t* data, size_t size) {
  // Each byte one more, and a 0 to end: the unique smallest last symbol.
  std::vector<uint16_t> text(size + 1, 0);
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<uint16_t>(data[i] + 1);
  return Sais(text.data(), static_cast<int32_t>(size + 1), 257);
}

namespace {

// The longest match the old file has for the start of the new file, not
// longer than kLongestMatch.
constexpr int64_t kLongestMatch = 1 << 20;
// The byte comparisons a file may take, per byte of the two files.
constexpr int64_t kWorkPerByte = 64;
// Equal bytes in a row that an aligned stretch copies rather than differences.
constexpr int64_t kCopyRun = 256;
// How many more bytes a new match must have than the current alignment.
constexpr int64_t kBetter = 8;
// The largest old file whose suffixes are sorted: about 12 bytes of memory
// each while they are, so at most about 1 GiB, which a 32-bit updatepkg.exe
// can still find room for (a 66 MB program took 839 MiB in all).
constexpr size_t kLargestSorted = 80 << 20;
// The matches zlib weighs at each position of a delta's streams.
constexpr int kMatchChain = 1024;

// Walks the new file as bsdiff does and writes the four streams.
class DeltaWalk {
 public:
  DeltaWalk(const uint8_t* old_data, int64_t old_size, const uint8_t* new_data, int64_t new_size,
            const std::vector<int32_t>& sa)
      : old_(old_data),
        old_size_(old_size),
        new_(new_data),
        new_size_(new_size),
        sa_(sa),
        budget_(kWorkPerByte * (old_size + new_size) + (1 << 20)),
        first_(65537, 0) {
    // first_[p]: where the suffixes starting with the two bytes p (high byte
    // first), or with more, begin in the suffix array.
    for (int64_t i = 0; i <= old_size_; ++i) {
      if (sa_[i] < old_size_) ++first_[Prefix(sa_[i], old_, old_size_) + 1];
    }
    first_[0] = 1;  // after the empty suffix
    for (size_t p = 1; p < first_.size(); ++p) first_[p] += first_[p - 1];
  }

  bool Run(SplitDelta& out);

 private:
  // How many bytes agree from `old_at` and `new_at`, where the first `known` do.
  int64_t MatchLength(int64_t old_at, int64_t new_at, int64_t known = 0) {
    int64_t most = std::min({old_size_ - old_at, new_size_ - new_at, kLongestMatch});
    int64_t n = std::min(known, most);
    budget_ -= 1 - n;
    // Eight bytes at a time to the word that differs, then byte by byte.
    for (uint64_t a, b; n + 8 <= most; n += 8) {
      std::memcpy(&a, old_ + old_at + n, 8);
      std::memcpy(&b, new_ + new_at + n, 8);
      if (a != b) break;
    }
    while (n < most && old_[old_at + n] == new_[new_at + n]) ++n;
    budget_ -= n;
    return n;
  }
  // The longest match of the new file at `new_at` in the old file: its length and `pos`.
  int64_t Search(int64_t new_at, int64_t& pos);
  void Emit(SplitDelta& out, int64_t diff_from, int64_t diff_at, int64_t diff_length,
            int64_t literal_at, int64_t literal_length);
  void Operation(SplitDelta& out, package::SplitOp kind, int64_t from, int64_t length);
  bool Agree(int64_t old_at, int64_t new_at) const {
    return old_at >= 0 && old_at < old_size_ && old_[old_at] == new_[new_at];
  }

  const uint8_t* old_;
  int64_t old_size_;
  const uint8_t* new_;
  int64_t new_size_;
  // The two bytes at `at` of `data` as a number, high first; a last byte alone
  // counts as itself followed by 0, which it sorts before.
  static int32_t Prefix(int64_t at, const uint8_t* data, int64_t size) {
    return data[at] << 8 | (at + 1 < size ? data[at + 1] : 0);
  }

  const std::vector<int32_t>& sa_;
  int64_t budget_;
  std::vector<int64_t> first_;  // the suffixes by their first two bytes
  int64_t copy_end_ = 0;        // where the last copy or difference ended in the old file
};

int64_t DeltaWalk::Search(int64_t new_at, int64_t& pos) {
  // Binary search over the sorted suffixes; every suffix between two others
  // agrees with the new file at least as far as both of them do, so each
  // comparison starts there.
  int64_t low = 0, high = old_size_;  // the suffix array has old_size_ + 1 entries
  if (new_at + 1 < new_size_) {
    // Only the suffixes that start with the same two bytes can match more
    // than one: the search starts from those just around them.
    int32_t prefix = Prefix(new_at, new_, new_size_);
    if (first_[prefix] < first_[prefix + 1]) {
      low = first_[prefix] - 1;
      high = std::min<int64_t>(first_[prefix + 1], old_size_);
    }
  }
  int64_t low_n = MatchLength(sa_[low], new_at), high_n = MatchLength(sa_[high], new_at);
  while (high - low >= 2) {
    int64_t middle = low + (high - low) / 2;
    int64_t at = sa_[middle];
    int64_t n = MatchLength(at, new_at, std::min(low_n, high_n));
    bool less = at + n == old_size_ ||
                (new_at + n < new_size_ && n < kLongestMatch && old_[at + n] < new_[new_at + n]);
    (less ? low : high) = middle;
    (less ? low_n : high_n) = n;
  }
  pos = low_n >= high_n ? sa_[low] : sa_[high];
  return std::max(low_n, high_n);
}

void DeltaWalk::Emit(SplitDelta& out, int64_t diff_from, int64_t diff_at, int64_t diff_length,
                     int64_t literal_at, int64_t literal_length) {
  // The aligned stretch: differences, except that a run of kCopyRun or more
  // equal bytes is a copy, which costs a few bytes of operations where
  // deflate spends bits on every 258 zeros.
  auto equal = [&](int64_t i) { return new_[diff_at + i] == old_[diff_from + i]; };
  for (int64_t i = 0; i < diff_length;) {
    int64_t run = i, end = i;  // the next run of equal bytes long enough to copy
    for (;;) {
      while (run < diff_length && !equal(run)) ++run;
      for (end = run; end < diff_length && equal(end);) ++end;
      if (end - run >= kCopyRun || end == diff_length) break;
      run = end;
    }
    if (end - run < kCopyRun) run = end = diff_length;  // a short tail: differences
    if (run > i) {
      for (int64_t k = i; k < run; ++k) {
        auto d = static_cast<uint8_t>(new_[diff_at + k] - old_[diff_from + k]);
        if (d == 0) {
          ++out.zeros;
          continue;
        }
        package::AppendVarint(out.gaps, out.zeros);
        out.values.push_back(d);
        out.zeros = 0;
      }
      Operation(out, package::SplitOp::kDifference, diff_from + i, run - i);
    }
    if (end > run) Operation(out, package::SplitOp::kCopy, diff_from + run, end - run);
    i = end;
  }
  if (literal_length > 0) {
    package::AppendSplitOp(out.operations, package::SplitOp::kLiteral,
                           static_cast<uint64_t>(literal_length), 0);
    out.literals.insert(out.literals.end(), new_ + literal_at, new_ + literal_at + literal_length);
  }
}

void DeltaWalk::Operation(SplitDelta& out, package::SplitOp kind, int64_t from, int64_t length) {
  package::AppendSplitOp(out.operations, kind, static_cast<uint64_t>(length), from - copy_end_);
  copy_end_ = from + length;
}

bool DeltaWalk::Run(SplitDelta& out) {
  int64_t scan = 0, length = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
  while (scan < new_size_) {
    int64_t old_score = 0;
    int64_t scored = scan += length;
    // Find a match better than following the last alignment further.
    for (; scan < new_size_; ++scan) {
      if (budget_ < 0) return false;
      length = Search(scan, pos);
      for (; scored < scan + length; ++scored) old_score += Agree(scored + last_offset, scored);
      if ((length == old_score && length != 0) || length > old_score + kBetter) break;
      old_score -= Agree(scan + last_offset, scan);
    }
    if (length == old_score && scan != new_size_) continue;
    // Extend the last alignment forwards and the new one backwards while at
    // least half of the bytes agree, and split where they overlap.
    int64_t forward = 0, best = 0;
    for (int64_t i = 0, agree = 0; last_scan + i < scan && last_pos + i < old_size_;) {
      agree += old_[last_pos + i] == new_[last_scan + i];
      ++i;
      if (agree * 2 - i > best * 2 - forward) best = agree, forward = i;
    }
    int64_t backward = 0;
    if (scan < new_size_) {
      best = 0;
      for (int64_t i = 1, agree = 0; scan >= last_scan + i && pos >= i; ++i) {
        agree += old_[pos - i] == new_[scan - i];
        if (agree * 2 - i > best * 2 - backward) best = agree, backward = i;
      }
    }
    if (last_scan + forward > scan - backward) {
      int64_t overlap = last_scan + forward - (scan - backward), split = 0;
      for (int64_t i = 0, score = 0, top = 0; i < overlap; ++i) {
        score += new_[last_scan + forward - overlap + i] == old_[last_pos + forward - overlap + i];
        score -= new_[scan - backward + i] == old_[pos - backward + i];
        if (score > top) top = score, split = i + 1;
      }
      forward += split - overlap;
      backward -= split;
    }
    budget_ -= scan - last_scan;
    Emit(out, last_pos, last_scan, forward, last_scan + forward,
         (scan - backward) - (last_scan + forward));
    last_scan = scan - backward;
    last_pos = pos - backward;
    last_offset = pos - scan;
  }
  return budget_ >= 0;
}

// An old file too large to sort its suffixes in memory is matched the
// cheaper way: exact runs found by a rolling hash over its aligned 32-byte
// blocks (one 4-byte slot per 16 bytes of it), extended byte by byte both
// ways. Archives of whole assets, where it meets such files, patch as well.
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

// The aligned blocks of the old file by hash; a slot holds block number + 1.
struct BlockIndex {
  explicit BlockIndex(const uint8_t* old_data, size_t size) {
    size_t blocks = size / kBlock;
    int bits = 10;
    while ((size_t{1} << bits) < 2 * blocks) ++bits;
    slots.assign(size_t{1} << bits, 0);
    shift = 64 - bits;
    RollingHash hash;
    for (size_t b = 0; b < blocks; ++b) {
      uint32_t& slot = slots[Slot(hash.Start(old_data + b * kBlock))];
      if (slot == 0) slot = static_cast<uint32_t>(b + 1);  // the first of equal blocks
    }
  }
  size_t Slot(uint64_t hash) const {
    return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift);
  }
  std::vector<uint32_t> slots;
  int shift = 64;
};

SplitDelta EncodeByBlocks(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                          size_t new_size) {
  BlockIndex index(old_data, old_size);
  SplitDelta out;
  size_t copy_end = 0, literal_start = 0, pos = 0;
  auto literal = [&](size_t end) {
    if (end <= literal_start) return;
    package::AppendSplitOp(out.operations, package::SplitOp::kLiteral, end - literal_start, 0);
    out.literals.insert(out.literals.end(), new_data + literal_start, new_data + end);
  };
  RollingHash hash;
  uint64_t h = pos + kBlock <= new_size ? hash.Start(new_data) : 0;
  while (pos + kBlock <= new_size) {
    uint32_t slot = index.slots[index.Slot(h)];
    size_t from = static_cast<size_t>(slot - 1) * kBlock;
    if (slot != 0 && std::memcmp(old_data + from, new_data + pos, kBlock) == 0) {
      size_t back = 0;
      while (back < pos - literal_start && back < from &&
             old_data[from - back - 1] == new_data[pos - back - 1]) {
        ++back;
      }
      size_t length = kBlock;
      while (pos + length < new_size && from + length < old_size &&
             old_data[from + length] == new_data[pos + length]) {
        ++length;
      }
      literal(pos - back);
      package::AppendSplitOp(out.operations, package::SplitOp::kCopy, back + length,
                             static_cast<int64_t>(from - back) - static_cast<int64_t>(copy_end));
      copy_end = from + length;
      pos += length;
      literal_start = pos;
      if (pos + kBlock <= new_size) h = hash.Start(new_data + pos);
      continue;
    }
    if (pos + kBlock < new_size) h = hash.Roll(new_data[pos], new_data[pos + kBlock]);
    ++pos;
  }
  literal(new_size);
  return out;
}

}  // namespace

std::optional<SplitDelta> EncodeDelta(const uint8_t* source, size_t source_size,
                                      const uint8_t* target, size_t target_size) {
  if (source_size == 0 || source_size >= 0x7FFFFFF0u || target_size >= 0x7FFFFFF0u) {
    return std::nullopt;
  }
  if (source_size <= kLargestSorted) {
    std::vector<int32_t> sa = SuffixArray(source, source_size);
    SplitDelta delta;
    DeltaWalk walk(source, static_cast<int64_t>(source_size), target,
                   static_cast<int64_t>(target_size), sa);
    if (walk.Run(delta)) return delta;
  }
  // Too large to sort, or too little in common to walk within bounds.
  return EncodeByBlocks(source, source_size, target, target_size);
}

namespace {

void Digest(const uint8_t* data, size_t size, uint8_t (&digest)[32], bool& ok) {
  platform::Sha256 hash;
  hash.Update(data, size);
  ok = hash.Finish(digest) && ok;
}

// One zlib stream of `data` at the best level, with zlib's search for
// matches held to kMatchChain candidates: the level's 4096 doubles the
// encoding time for a few bytes in a thousand.
bool Deflate(const std::vector<uint8_t>& data, std::vector<uint8_t>& packed) {
  z_stream zs{};
  if (deflateInit(&zs, Z_BEST_COMPRESSION) != Z_OK) return false;
  packed.resize(deflateBound(&zs, static_cast<uLong>(data.size())));
  deflateTune(&zs, 32, 258, 258, kMatchChain);
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = packed.data();
  zs.avail_out = static_cast<uInt>(packed.size());
  bool done = deflate(&zs, Z_FINISH) == Z_STREAM_END;
  packed.resize(zs.total_out);
  deflateEnd(&zs);
  return done;
}

// The record that packs the file whole, exactly as a build writes it.
std::optional<std::vector<uint8_t>> WholeRecord(const WString& name, const WString& path,
                                                const EntryTimes& times) {
  std::vector<uint8_t> record;
  package::PackageOut out;
  out.memory = &record;
  platform::Result<platform::File> source = pack::OpenTreeFile(path);
  package::ParallelDeflater deflater(out, 1);
  bool ok = source && deflater.AddRecord(name, times, *source) == package::DeflateResult::kOk &&
            deflater.Finish();
  if (!ok) return std::nullopt;
  return record;
}

// The split delta record of a new file from an old one; none when there is
// no delta to make.
std::optional<std::vector<uint8_t>> SplitDeltaRecord(const WString& name, const WString& new_path,
                                                     const WString& old_name,
                                                     const WString& old_path,
                                                     const EntryTimes& times) {
  platform::MappedFile old_file(old_path), new_file(new_path);
  if (!old_file.data() || !new_file.data()) return std::nullopt;
  std::optional<SplitDelta> delta =
      EncodeDelta(old_file.data(), old_file.size(), new_file.data(), new_file.size());
  if (!delta) return std::nullopt;
  package::DeltaHeader header;
  header.old_size = old_file.size();
  header.new_size = new_file.size();
  bool ok = true;
  Digest(old_file.data(), old_file.size(), header.old_hash, ok);
  Digest(new_file.data(), new_file.size(), header.new_hash, ok);
  std::vector<uint8_t> streams[4];
  ok = ok && Deflate(delta->operations, streams[0]) && Deflate(delta->gaps, streams[1]) &&
       Deflate(delta->values, streams[2]) && Deflate(delta->literals, streams[3]);
  if (!ok) return std::nullopt;
  std::vector<uint8_t> record;
  package::PackageOut out;
  out.memory = &record;
  package::WriteEntryHeader(out, name, times, package::kDeltaTag);
  package::WriteEntryName(out, old_name == name ? WString() : old_name);  // none: its own
  package::WriteDeltaHeader(out, header);
  for (const std::vector<uint8_t>& stream : streams) {
    uint8_t length[4];
    for (int i = 0; i < 4; ++i) length[i] = static_cast<uint8_t>(stream.size() >> (8 * i));
    package::WriteToPackage(out, length, 4);
  }
  for (const std::vector<uint8_t>& stream : streams) {
    package::WriteToPackage(out, stream.data(), stream.size());
  }
  return record;
}

class DeltaJob : public package::RecordJob {
 public:
  DeltaJob(WString name, WString new_path, WString old_name, WString old_path, EntryTimes times)
      : name_(std::move(name)),
        new_path_(std::move(new_path)),
        old_name_(std::move(old_name)),
        old_path_(std::move(old_path)),
        times_(times) {}

  std::optional<std::vector<uint8_t>> Make() override {
    std::optional<std::vector<uint8_t>> whole = WholeRecord(name_, new_path_, times_);
    std::optional<std::vector<uint8_t>> delta =
        SplitDeltaRecord(name_, new_path_, old_name_, old_path_, times_);
    return delta && whole && delta->size() < whole->size() ? delta : whole;
  }

 private:
  WString name_, new_path_, old_name_, old_path_;
  EntryTimes times_;
};

}  // namespace

std::unique_ptr<package::RecordJob> DeltaRecordJob(const WString& name, const WString& new_path,
                                                   const WString& old_name, const WString& old_path,
                                                   const EntryTimes& times) {
  return std::make_unique<DeltaJob>(name, new_path, old_name, old_path, times);
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
    : files_(std::move(files)),
      gone_(files_.size()),
      hashes_(files_.size()),
      by_name_(files_.size()) {
  std::vector<WString> sorted = new_names;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < files_.size(); ++i) {
    gone_[i] = !std::binary_search(sorted.begin(), sorted.end(), files_[i].name);
    by_name_[i] = i;
  }
  std::sort(by_name_.begin(), by_name_.end(),
            [this](size_t a, size_t b) { return files_[a].name < files_[b].name; });
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
  auto same = std::lower_bound(by_name_.begin(), by_name_.end(), name,
                               [this](size_t i, const WString& n) { return files_[i].name < n; });
  if (same != by_name_.end() && files_[*same].name == name) return &files_[*same];
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
