#include "tool/old_release.h"

#include <algorithm>

namespace updater::tool {

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
    if (!hashed && !(hashed = HashTreeFile(path, digest).ok())) break;
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
