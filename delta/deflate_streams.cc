#include "delta/deflate_streams.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "package/format.h"
#include "platform/platform.h"

namespace updater::delta {
namespace {

using package::StreamForm;

const uint8_t kZipLocal[4] = {'P', 'K', 3, 4};
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A zip header's field of `bytes` bytes.
uint32_t Le(const uint8_t* p, int bytes) {
  return static_cast<uint32_t>(package::GetLittleEndian(p, bytes));
}

// A stream's inflated bytes past which inflating it stops: past
// kMaxInflatedStream it is never taken, and at `most_growth` times its
// `deflated` bytes and one more (what integer division counts so) it grows
// past what was asked.
uint64_t MostInflated(uint64_t deflated, uint32_t most_growth) {
  if (most_growth == 0) return package::kMaxInflatedStream;
  return std::min<uint64_t>((deflated + 1) * most_growth - 1, package::kMaxInflatedStream);
}

// Inflates the stream of `size` bytes at `data` into `out`: the bytes it
// took, or 0 where it is damaged, ends past them or inflates past `most`
// (then `out` holds more than `most`). With `whole`, it must take them all.
uint64_t Inflate(const uint8_t* data, uint64_t size, StreamForm form, bool whole,
                 std::vector<uint8_t>& out, uint64_t most = package::kMaxInflatedStream) {
  z_stream zs{};
  if (inflateInit2(&zs, form == StreamForm::kRawDeflate ? -15 : 15) != Z_OK) return 0;
  out.clear();
  zs.next_in = const_cast<uint8_t*>(data);
  zs.avail_in = static_cast<uInt>(std::min<uint64_t>(size, UINT32_MAX));
  uint8_t piece[64 << 10];
  int result = Z_OK;
  while (result == Z_OK && out.size() <= most) {
    zs.next_out = piece;
    zs.avail_out = sizeof piece;
    result = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), piece, piece + (sizeof piece - zs.avail_out));
    if (result == Z_OK && zs.avail_in == 0 && zs.avail_out > 0) break;  // cut short
  }
  uint64_t took = zs.total_in;
  inflateEnd(&zs);
  bool ended = result == Z_STREAM_END && !out.empty() && out.size() <= most;
  return ended && (!whole || took == size) ? took : 0;
}

// The window and the level a zlib stream's two header bytes tell.
void TakeZlibHeader(const uint8_t* header, FoundStream& s) {
  static const int kLevels[4] = {1, 5, 6, 9};  // FLEVEL's four
  s.window_bits = (header[0] >> 4) + 8;
  s.level_hint = kLevels[header[1] >> 6];
}

// True where `s` inflated past `most` bytes, which `most_growth` set below
// the largest stream taken: it is marked as growing past, and emptied.
bool GrowsPast(FoundStream& s, uint64_t most) {
  if (most >= package::kMaxInflatedStream || s.inflated.size() <= most) return false;
  s.grows_past = true;
  s.inflated = {};
  return true;
}

// A zip local header, of method 8 and not encrypted, whose stream starts
// in the file and, where the header gives its size, ends there.
struct ZipMember {
  size_t start = 0;  // of its stream
  uint32_t packed = 0, full = 0;
  uint32_t flags = 0;
  // With a data descriptor, or zip64's sizes (in an extra field), the
  // stream ends where deflate says: it is inflated whole to be measured.
  bool unsized = false;
};

// The member whose local header is at `i` (30 bytes of `size` past it), or
// none.
std::optional<ZipMember> ReadZipHeader(const uint8_t* data, size_t size, size_t i) {
  const uint8_t* at = data + i;
  ZipMember m;
  m.flags = Le(at + 6, 2);
  m.packed = Le(at + 18, 4);
  m.full = Le(at + 22, 4);
  m.start = i + 30 + Le(at + 26, 2) + Le(at + 28, 2);
  m.unsized = (m.flags & 8) != 0 || m.packed == UINT32_MAX;
  if (Le(at + 8, 2) != 8 || (m.flags & 1) || m.start >= size ||
      (!m.unsized && m.packed > size - m.start)) {
    return std::nullopt;
  }
  return m;
}

// The next zip local header's offset from `i` on, or `size` where none.
// (memchr for its first byte: a stored archive is scanned through.)
size_t NextZipHeader(const uint8_t* data, size_t size, size_t i) {
  for (; i + 30 <= size; ++i) {
    const void* p = std::memchr(data + i, kZipLocal[0], size - 29 - i);
    if (!p) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(p) - data);
    if (std::memcmp(data + i, kZipLocal, 4) == 0) return i;
  }
  return size;
}

// Calls `take` with each member of `data` whose header ReadZipHeader
// reads, in turn: it returns where the member's stream ends, for the walk
// to go on from there, or 0 where it takes none (the walk then looks on
// from 4 bytes past the header's start).
template <typename Take>
void WalkZipMembers(const uint8_t* data, size_t size, Take take) {
  for (size_t i = NextZipHeader(data, size, 0); i < size; i = NextZipHeader(data, size, i)) {
    std::optional<ZipMember> m = ReadZipHeader(data, size, i);
    size_t end = m ? take(*m) : 0;
    i = end > 0 ? end : i + 4;
  }
}

// Inflates a sized member's stream, `s.packed` bytes at `s.at`, into `s`:
// false where it is damaged or ends before them. Past `most` it is marked
// as growing past.
bool InflateSized(const uint8_t* data, FoundStream& s, uint64_t most) {
  const uint64_t packed = s.packed;
  s.packed = Inflate(data + s.at, packed, StreamForm::kRawDeflate, true, s.inflated, most);
  if (GrowsPast(s, most)) s.packed = packed;
  s.deflated = s.packed;
  s.unread = false;
  return s.packed != 0;
}

std::string_view Bytes(const uint8_t* data, const FoundStream& s) {
  return {reinterpret_cast<const char*>(data + s.at), static_cast<size_t>(s.packed)};
}

// The stream of member `m` into `s`: left unread where its bytes are
// `held_elsewhere`, else inflated; false where it does not inflate as its
// header says.
bool TakeMember(const uint8_t* data, size_t size, const ZipMember& m, uint32_t most_growth,
                const std::unordered_set<std::string_view>* held_elsewhere, FoundStream& s) {
  s.at = m.start;
  s.packed = m.packed;
  // Info-ZIP's flags: 2 the best compression, 4 and 6 the fastest.
  s.level_hint = (m.flags & 6) == 2 ? 9 : (m.flags & 4) ? 1 : 6;
  if (m.unsized) {
    s.packed = s.deflated =
        Inflate(data + m.start, size - m.start, StreamForm::kRawDeflate, false, s.inflated);
    return s.packed != 0;
  }
  if (held_elsewhere && held_elsewhere->count(Bytes(data, s))) {
    s.deflated = s.packed;
    s.unread = true;
    return true;
  }
  return InflateSized(data, s, MostInflated(m.packed, most_growth)) &&
         (s.grows_past || s.inflated.size() == m.full);
}

// Zip local entries of method 8, not encrypted.
void FindZipMembers(const uint8_t* data, size_t size, uint32_t most_growth,
                    const std::unordered_set<std::string_view>* held_elsewhere,
                    std::vector<FoundStream>& found) {
  WalkZipMembers(data, size, [&](const ZipMember& m) -> size_t {
    FoundStream s;
    if (!TakeMember(data, size, m, most_growth, held_elsewhere, s)) return 0;
    found.push_back(std::move(s));
    return static_cast<size_t>(found.back().at + found.back().packed);
  });
}

// A PNG's IDAT chunks, where they are cut evenly.
void FindPngImage(const uint8_t* data, size_t size, uint32_t most_growth,
                  std::vector<FoundStream>& found) {
  if (size < 8 || std::memcmp(data, kPngSignature, 8) != 0) return;
  FoundStream s;
  std::vector<uint8_t> joined;
  size_t at = 8, chunks = 0;
  uint32_t last = 0;
  while (at + 12 <= size) {
    uint32_t length = package::GetBigEndian32(data + at);
    if (length > size - at - 12) return;
    bool idat = std::memcmp(data + at + 4, "IDAT", 4) == 0;
    if (!idat && chunks > 0) break;
    if (idat) {
      if (chunks == 0) s.at = at, s.chunk = length;
      if (chunks > 0 && (last != s.chunk || length > s.chunk)) return;  // cut unevenly
      joined.insert(joined.end(), data + at + 8, data + at + 8 + length);
      last = length;
      ++chunks;
    }
    at += 12 + length;
  }
  if (chunks == 0 || s.chunk == 0 || joined.size() < 2) return;
  s.form = StreamForm::kPngImage;
  s.packed = at - s.at;
  s.deflated = joined.size();
  TakeZlibHeader(joined.data(), s);
  if (s.window_bits > 15) return;
  const uint64_t most = MostInflated(s.deflated, most_growth);
  if (Inflate(joined.data(), joined.size(), s.form, true, s.inflated, most) == 0 &&
      !GrowsPast(s, most)) {
    return;
  }
  found.push_back(std::move(s));
}

// Zlib streams anywhere in a file of a format of its own: a header (a
// window of at most 32 KiB, no preset dictionary, its check bits right)
// whose stream inflates whole, to at least kLeastZlib bytes.
constexpr size_t kLeastZlib = 64;

void FindZlibStreams(const uint8_t* data, size_t size, std::vector<FoundStream>& found) {
  for (size_t i = 0; i + 2 < size; ++i) {
    uint32_t header = uint32_t{data[i]} << 8 | data[i + 1];
    if ((data[i] & 0x0F) != 8 || data[i] >> 4 > 7 || (header & 0x20) || header % 31 != 0) {
      continue;
    }
    FoundStream s;
    s.at = i;
    s.form = StreamForm::kZlib;
    s.packed = s.deflated = Inflate(data + i, size - i, s.form, false, s.inflated);
    if (s.packed == 0 || s.inflated.size() < kLeastZlib) continue;
    TakeZlibHeader(data + i, s);
    i += static_cast<size_t>(s.packed) - 1;
    found.push_back(std::move(s));
  }
}

// Compares what Redeflater makes with the file's bytes, and stops it at the first that differs.
class Compare final : public package::ByteSink {
 public:
  explicit Compare(const uint8_t* expected) : expected_(expected) {}
  bool Take(const uint8_t* data, size_t size) override {
    if (std::memcmp(data, expected_, size) != 0) return false;
    expected_ += size;
    return true;
  }

 private:
  const uint8_t* expected_;
};

// A new stream as a map names it (an old one's `packed` is its framed size).
package::MapStream MapStream(const FoundStream& s, const package::DeflateSettings& settings) {
  package::MapStream made;
  made.at = static_cast<uint32_t>(s.at);
  made.packed = static_cast<uint32_t>(s.deflated);
  made.inflated = static_cast<uint32_t>(s.inflated.size());
  made.form = s.form;
  made.settings = settings;
  made.chunk = s.chunk;
  made.framed = static_cast<uint32_t>(s.packed);
  return made;
}

bool MakesAgain(const FoundStream& stream, const uint8_t* file,
                const package::DeflateSettings& settings) {
  package::DeflateMap map;
  map.news.push_back(MapStream(stream, settings));
  Compare compare(file + stream.at);
  package::Redeflater again(map, compare);
  return again.Feed(stream.inflated.data(), stream.inflated.size()) && again.Finish();
}

constexpr int kMissesBeforeGivingUp = 4;

}  // namespace

namespace {

// True where `level` may have made `stream`: a zlib header's level field
// says which of four classes made it (zlib writes 0 for level 1, 1 for 2
// to 5, 2 for 6, 3 for 7 to 9), so a PNG or zlib stream no setting makes
// again costs at most 16 tries instead of 40; a zip member's flags tell too
// little to leave any out.
bool Tells(const FoundStream& stream, int level) {
  if (stream.form == StreamForm::kRawDeflate) return true;
  const int hint = stream.level_hint;  // the class's level, as TakeZlibHeader gives it
  return hint == 1   ? level == 1
         : hint == 5 ? level >= 2 && level <= 5
         : hint == 6 ? level == 6
                     : level >= 7;
}

bool IsZip(const uint8_t* head, size_t size) {
  return size >= 4 && std::memcmp(head, kZipLocal, 4) == 0;
}

}  // namespace

bool StartsAsZipOrPng(const uint8_t* head, size_t size) {
  return IsZip(head, size) || (size >= 8 && std::memcmp(head, kPngSignature, 8) == 0);
}

std::unordered_set<std::string_view> SizedZipMembers(const uint8_t* data, size_t size) {
  std::unordered_set<std::string_view> members;
  WalkZipMembers(data, size, [&](const ZipMember& m) -> size_t {
    if (m.unsized) return 0;
    members.insert({reinterpret_cast<const char*>(data + m.start), m.packed});
    return m.start + m.packed;
  });
  return members;
}

std::vector<FoundStream> FindDeflateStreams(
    const uint8_t* data, size_t size, uint32_t most_growth,
    const std::unordered_set<std::string_view>* held_elsewhere) {
  std::vector<FoundStream> found;
  FindPngImage(data, size, most_growth, found);
  if (found.empty()) FindZipMembers(data, size, most_growth, held_elsewhere, found);
  if (found.empty()) FindZlibStreams(data, size, found);
  return found;
}

std::optional<package::DeflateSettings> FindSettings(const FoundStream& stream,
                                                     const uint8_t* file) {
  package::DeflateSettings settings;
  settings.window_bits = static_cast<uint8_t>(std::max(stream.window_bits, 9));
  int levels[10] = {stream.level_hint, 9, 6, 1, 2, 3, 4, 5, 7, 8};
  for (int i = 0; i < 10; ++i) {
    if (i > 0 && (levels[i] == stream.level_hint || !Tells(stream, levels[i]))) continue;
    settings.level = static_cast<uint8_t>(levels[i]);
    for (int memory : {8, int{package::kZipBlocks}, 9}) {
      if (memory == package::kZipBlocks && stream.form != StreamForm::kRawDeflate) continue;
      for (bool filtered : {false, true}) {
        settings.mem_level = static_cast<uint8_t>(memory);
        settings.filtered = filtered;
        if (MakesAgain(stream, file, settings)) return settings;
      }
    }
  }
  return std::nullopt;
}

StreamChooser::StreamChooser(const uint8_t* data, uint32_t most_growth,
                             const std::unordered_set<std::string_view>* old_bytes)
    : data_(data), most_growth_(most_growth), old_bytes_(old_bytes) {}

bool StreamChooser::Take(FoundStream& s, package::MapStream& stream) {
  // Where the first changed streams came from another encoder (an
  // archiver's own deflate, a PNG optimiser), the rest are taken to have
  // too: each miss tried every setting.
  if (made_ == 0 && missed_ == kMissesBeforeGivingUp) return false;
  // Past the most a map names, the rest stay as they are (the updater
  // refuses a longer map).
  if (made_ == package::kMaxMapStreams) return false;
  if (old_bytes_ && old_bytes_->count(Bytes(data_, s))) return false;  // copied as it is
  // Left unread for a twin the old file's members did not come to hold.
  if (s.unread && !InflateSized(data_, s, MostInflated(s.deflated, most_growth_))) return false;
  if (s.grows_past || (most_growth_ > 0 && s.inflated.size() / most_growth_ > s.deflated)) {
    return false;
  }
  if (!settings_ || !MakesAgain(s, data_, *settings_)) settings_ = FindSettings(s, data_);
  if (!settings_) {  // another encoder's: patched as bytes
    ++missed_;
    return false;
  }
  ++made_;
  stream = MapStream(s, *settings_);
  return true;
}

namespace {

// Lays out `data` with the streams `inflate` inflated into `form`, and
// tells each stream of `map` (one for each of them) where it starts there.
void Lay(const uint8_t* data, size_t size, const std::vector<const FoundStream*>& inflate,
         std::vector<uint8_t>& form, std::vector<package::MapStream>& map) {
  uint64_t done = 0;
  for (size_t i = 0; i < inflate.size(); ++i) {
    const FoundStream& s = *inflate[i];
    form.insert(form.end(), data + done, data + s.at);
    map[i].inflated_at = static_cast<uint32_t>(form.size());
    form.insert(form.end(), s.inflated.begin(), s.inflated.end());
    done = s.at + s.packed;
  }
  form.insert(form.end(), data + done, data + size);
}

}  // namespace

std::optional<InflatedPair> InflateForPatch(const uint8_t* old_data, size_t old_size,
                                            const uint8_t* new_data, size_t new_size) {
  if (old_size > package::kMaxFormSize || new_size > package::kMaxFormSize) return std::nullopt;
  // Members both archives hold byte for byte (most of a changed archive's)
  // stay deflated in both forms: they are left unread.
  std::unordered_set<std::string_view> old_members, new_members;
  if (old_size > 0 && IsZip(old_data, old_size) && IsZip(new_data, new_size)) {
    old_members = SizedZipMembers(old_data, old_size);
    new_members = SizedZipMembers(new_data, new_size);
  }
  // An archive's or PNG's old streams are found on a thread of their own
  // meanwhile, else after the new file's, where it has some.
  struct OldStreams {
    const uint8_t* data;
    size_t size;
    const std::unordered_set<std::string_view>* held_elsewhere;
    std::vector<FoundStream> found;
  } old_streams{old_data, old_size, &new_members, {}};
  platform::Thread finder;
  if (old_size > 0 && StartsAsZipOrPng(new_data, new_size)) {
    auto find = [](void* streams) {
      auto& s = *static_cast<OldStreams*>(streams);
      s.found = FindDeflateStreams(s.data, s.size, 0, s.held_elsewhere);
    };
    finder = std::move(platform::StartThread(find, &old_streams)).value_or(platform::Thread());
  }
  std::vector<FoundStream> news = FindDeflateStreams(new_data, new_size, 0, &old_members);
  if (news.empty()) return std::nullopt;
  if (finder) {
    finder.Join();
  } else {
    old_streams.found = FindDeflateStreams(old_data, old_size, 0, &new_members);
  }
  std::vector<FoundStream>& olds = old_streams.found;
  std::unordered_set<std::string_view> old_bytes, new_bytes;
  for (const FoundStream& s : olds) old_bytes.insert(Bytes(old_data, s));
  for (const FoundStream& s : news) new_bytes.insert(Bytes(new_data, s));
  InflatedPair pair;
  std::vector<const FoundStream*> made, read;
  StreamChooser chooser(new_data, 0, &old_bytes);
  for (FoundStream& s : news) {
    package::MapStream stream;
    if (!chooser.Take(s, stream)) continue;
    made.push_back(&s);
    pair.map.news.push_back(stream);
  }
  if (made.empty()) return std::nullopt;
  for (FoundStream& s : olds) {
    if (pair.map.olds.size() == package::kMaxMapStreams) break;  // the rest read as they are
    if (new_bytes.count(Bytes(old_data, s))) continue;           // the new file has it as it is
    if (s.unread && !InflateSized(old_data, s, package::kMaxInflatedStream)) continue;
    read.push_back(&s);
    pair.map.olds.push_back(MapStream(s, {}));
    pair.map.olds.back().packed = static_cast<uint32_t>(s.packed);  // its bytes in the old file
  }
  Lay(old_data, old_size, read, pair.old_form, pair.map.olds);
  Lay(new_data, new_size, made, pair.new_form, pair.map.news);
  if (pair.old_form.size() > package::kMaxFormSize ||
      pair.new_form.size() > package::kMaxFormSize) {
    return std::nullopt;
  }
  pair.map.old_size = static_cast<uint32_t>(pair.old_form.size());
  pair.map.new_size = static_cast<uint32_t>(pair.new_form.size());
  pair.map.old_file = static_cast<uint32_t>(old_size);
  return pair;
}

}  // namespace updater::delta
