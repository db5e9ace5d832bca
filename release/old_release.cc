#include "release/old_release.h"

#include <algorithm>
#include <unordered_map>

#include "package/entry_name.h"

namespace updater::release {

platform::Status HashTreeFile(const WString& path, uint8_t (&digest)[32]) {
  platform::Result<platform::File> file = pack::OpenTreeFile(path);
  if (!file) return file.status();
  platform::Sha256 hash;
  std::vector<uint8_t> buffer(1 << 16);
  while (size_t got = file->Read(buffer.data(), buffer.size())) hash.Update(buffer.data(), got);
  if (!file->status()) return file->status();
  // The system's hash failing has no error code of its own.
  return hash.Finish(digest) ? platform::Status() : platform::Status::Refused();
}

namespace {

WString ExtensionOf(const WString& leaf) {
  size_t dot = leaf.rfind(u'.');
  return dot == WString::npos ? WString() : leaf.substr(dot);
}

size_t CommonPrefix(const WString& a, const WString& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

// A file's bytes are known by samples: the gear hash of the 64 bytes that
// end where the hash's top kSampleBits bits are all zero, about one place
// in 256 chosen by the bytes alone, so that a run of bytes gives the same
// samples wherever it lies in either file.
constexpr int kSampleBits = 8;
// Files new in name only are weighed from this size (below it a patch saves
// little) up to this one (above it sampling costs more than it may save).
constexpr int64_t kAlikeFrom = 4096, kAlikeTo = int64_t{1} << 30;
// An old file is worth trying to patch from when it holds a tenth of the new
// file's samples, and at least this many; it may be this many times larger.
constexpr size_t kAlikeSamples = 8;
constexpr int64_t kAlikeLarger = 8;
// A sample more old files hold than this is not weighed.
constexpr size_t kCommonSample = 64;

std::array<uint64_t, 256> GearTable() {
  std::array<uint64_t, 256> table{};
  uint64_t x = 0;
  for (uint64_t& entry : table) {  // splitmix64
    uint64_t z = (x += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    entry = z ^ (z >> 31);
  }
  return table;
}

// The samples of the file at `path`, sorted, each once; none where it cannot be read.
std::vector<uint64_t> ContentSamples(const WString& path) {
  static const std::array<uint64_t, 256> gear = GearTable();
  std::vector<uint64_t> samples;
  platform::Result<platform::File> file = pack::OpenTreeFile(path);
  if (!file) return samples;
  std::vector<uint8_t> buffer(1 << 16);
  uint64_t h = 0;
  while (size_t got = file->Read(buffer.data(), buffer.size())) {
    for (size_t i = 0; i < got; ++i) {
      h = (h << 1) + gear[buffer[i]];
      if ((h >> (64 - kSampleBits)) == 0) samples.push_back(h);
    }
  }
  if (!file->status()) samples.clear();
  std::sort(samples.begin(), samples.end());
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  return samples;
}

}  // namespace

OldRelease::OldRelease(std::vector<pack::TreeFile> files, std::vector<pack::TreeFile> new_files)
    : files_(std::move(files)),
      new_files_(std::move(new_files)),
      gone_(files_.size()),
      same_name_(files_.size()),
      replaced_(files_.size()),
      hashes_(files_.size()),
      by_name_(files_.size()) {
  std::vector<size_t> new_by_name(new_files_.size());
  for (size_t i = 0; i < new_files_.size(); ++i) new_by_name[i] = i;
  auto by_new_name = [this](size_t a, size_t b) { return new_files_[a].name < new_files_[b].name; };
  std::sort(new_by_name.begin(), new_by_name.end(), by_new_name);
  for (size_t i = 0; i < files_.size(); ++i) {
    auto same =
        std::lower_bound(new_by_name.begin(), new_by_name.end(), files_[i].name,
                         [this](size_t j, const WString& n) { return new_files_[j].name < n; });
    gone_[i] = same == new_by_name.end() || new_files_[*same].name != files_[i].name;
    if (!gone_[i]) same_name_[i] = *same;
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
    if (!hashed && !(hashed = HashTreeFile(path, digest).ok())) break;
    if (std::equal(digest, digest + 32, HashOf(i))) return &files_[i];
  }
  // A file the new release no longer has, named like this one and of like size.
  WString leaf = package::LastComponent(name), extension = ExtensionOf(leaf);
  const pack::TreeFile* best = nullptr;
  size_t best_score = 0;
  int64_t best_gap = 0;
  for (size_t i = 0; i < files_.size(); ++i) {
    const pack::TreeFile& f = files_[i];
    if (!gone_[i] || f.size == 0 || f.size > 2 * size || size > 2 * f.size) continue;
    WString other = package::LastComponent(f.name);
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
  return best ? best : MostAlike(path, extension, size);
}

bool OldRelease::Replaced(size_t index) {
  if (!replaced_[index]) {
    bool replaced = gone_[index];
    if (!replaced) {
      const pack::TreeFile& now = new_files_[same_name_[index]];
      uint8_t digest[32];
      replaced = now.size != files_[index].size || !HashTreeFile(now.path, digest) ||
                 !std::equal(digest, digest + 32, HashOf(index));
    }
    replaced_[index] = replaced;
  }
  return *replaced_[index];
}

const OldRelease::SampleIndex& OldRelease::IndexOf(const WString& extension) {
  auto [at, made] = indices_.try_emplace(extension);
  if (made) {
    for (size_t i = 0; i < files_.size(); ++i) {
      const pack::TreeFile& f = files_[i];
      if (f.size == 0 || ExtensionOf(package::LastComponent(f.name)) != extension || !Replaced(i))
        continue;
      for (uint64_t sample : ContentSamples(f.path)) {
        at->second.emplace_back(sample, static_cast<uint32_t>(i));
      }
    }
    std::sort(at->second.begin(), at->second.end());
  }
  return at->second;
}

const pack::TreeFile* OldRelease::MostAlike(const WString& path, const WString& extension,
                                            int64_t size) {
  if (size < kAlikeFrom || size > kAlikeTo) return nullptr;
  const SampleIndex& index = IndexOf(extension);
  if (index.empty()) return nullptr;
  std::vector<uint64_t> mine = ContentSamples(path);
  std::unordered_map<uint32_t, size_t> common;  // old file: samples it shares with this one
  for (uint64_t sample : mine) {
    auto [from, to] =
        std::equal_range(index.begin(), index.end(), std::make_pair(sample, 0u),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    // A sample most files hold (a run of zeros) tells them apart no better than none.
    if (to - from > static_cast<ptrdiff_t>(kCommonSample)) continue;
    for (auto holder = from; holder != to; ++holder) ++common[holder->second];
  }
  const pack::TreeFile* best = nullptr;
  size_t best_common = 0;
  int64_t best_gap = 0;
  for (size_t i = 0; i < files_.size(); ++i) {  // in order: the same choice every time
    auto shared = common.find(static_cast<uint32_t>(i));
    const pack::TreeFile& f = files_[i];
    if (shared == common.end() || f.size > kAlikeLarger * size) continue;
    int64_t gap = f.size > size ? f.size - size : size - f.size;
    if (shared->second > best_common || (shared->second == best_common && gap < best_gap)) {
      best = &f;
      best_common = shared->second;
      best_gap = gap;
    }
  }
  bool enough = best_common >= kAlikeSamples && 10 * best_common >= mine.size();
  return enough ? best : nullptr;
}

}  // namespace updater::release
