#include "delta/patch.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>

#include "delta/deflate_streams.h"
#include "delta/delta_encoder.h"
#include "delta/predict_references.h"
#include "platform/platform.h"

namespace updater::delta {
namespace {

// The matches zlib weighs at each position of a delta's streams.
constexpr int kMatchChain = 1024;

// One zlib stream of `data` at the best level with `strategy`, with zlib's
// search for matches held to kMatchChain candidates: the level's 4096 doubles
// the encoding time for a few bytes in a thousand.
bool Deflate(const std::vector<uint8_t>& data, std::vector<uint8_t>& packed,
             int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, strategy) != Z_OK) return false;
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

// The four streams of `delta`, deflated.
bool DeflateStreams(const SplitDelta& delta, PatchStreams& streams) {
  // Short matches in the gaps' varints cost more than the literals they
  // replace: filtered, a 47 MB library's patch is 0.7 % smaller.
  return Deflate(delta.operations, streams[0]) && Deflate(delta.gaps, streams[1], Z_FILTERED) &&
         Deflate(delta.values, streams[2]) && Deflate(delta.literals, streams[3]);
}

// The contexts each stream codes best with, measured on a 47 MB library and
// a 20 MB program patched from older builds: the operations' and gaps'
// varints by their previous byte (their next bits follow from it), the
// differences and the literals by fewer of its bits.
constexpr package::LzmaProps kStreamContexts[4] = {{3, 0, 0}, {4, 0, 0}, {1, 0, 0}, {3, 0, 0}};

// The equal bytes in a row an LZMA-coded delta copies rather than takes as
// differences: only long runs (a shorter one costs its gap's few bits;
// measured: 2 % off a 47 MB library's patch against runs of 256).
constexpr int64_t kLzmaCopyRun = 64 << 10;

// Order-0 entropy, in bits a byte, of `size` bytes counted in `counts`.
double Entropy(const uint32_t (&counts)[256], size_t size) {
  double bits = 0;
  for (uint32_t count : counts) {
    if (count > 0) bits -= count * std::log2(static_cast<double>(count) / size);
  }
  return bits / size;
}

// Whether `data` may code smaller as differences from the byte two before
// (kSampleDeltaStream): where those take a quarter of a bit a byte less than
// the bytes themselves, counted alone. The literals of sounds and raw images
// of 16-bit samples save about 0.7 bits so; code and text lose about one.
bool LooksLikeSamples(const uint8_t* data, size_t size) {
  if (size < 4096) return false;
  uint32_t plain[256] = {}, deltas[256] = {};
  for (size_t i = 0; i < size; ++i) {
    ++plain[data[i]];
    ++deltas[static_cast<uint8_t>(data[i] - (i >= 2 ? data[i - 2] : 0))];
  }
  return Entropy(deltas, size) + 0.25 < Entropy(plain, size);
}

// `data` as raw LZMA with `contexts` into `coded`, with the settings byte
// it is read with; or stored, where LZMA would make it no smaller (new
// bytes of compressed assets: deflate stores them too). With `samples`, also
// as differences from the byte two before where it looks like samples, and
// so where that is smaller (measured: a stored archive's quieter sounds'
// literals 16 % smaller, as 7z's Delta:2 filter codes them).
bool CodeStream(const uint8_t* data, size_t size, const package::LzmaProps& contexts,
                LzmaLevel level, uint8_t& settings, std::vector<uint8_t>& coded,
                bool samples = false) {
  settings = package::LzmaPropsByte(contexts);
  coded.clear();
  if (size == 0) return true;  // the settings alone
  LzmaStream lzma;
  if (!EncodeLzma(level, contexts, data, size, lzma, package::kDeltaStreamWindow)) return false;
  if (lzma.bytes.size() >= size) {  // incompressible: stored
    settings = package::kStoredStream;
    coded.assign(data, data + size);
  } else {
    coded = std::move(lzma.bytes);
  }
  if (!samples || !LooksLikeSamples(data, size)) return true;
  std::vector<uint8_t> deltas(data, data + size);
  for (size_t i = size; i-- > 2;) deltas[i] = static_cast<uint8_t>(data[i] - data[i - 2]);
  package::LzmaProps sample_contexts;
  package::LzmaPropsFromByte(package::kSampleDeltaContexts, sample_contexts);
  if (!EncodeLzma(level, sample_contexts, deltas.data(), size, lzma, package::kDeltaStreamWindow)) {
    return false;
  }
  if (lzma.bytes.size() < coded.size()) {
    settings = package::kSampleDeltaStream;
    coded = std::move(lzma.bytes);
  }
  return true;
}

// One stream as a byte of settings, the size it decodes to and raw LZMA
// with a window no larger than the updater decodes a delta stream through,
// or stored.
bool PackStream(const uint8_t* data, size_t size, const package::LzmaProps& contexts,
                LzmaLevel level, std::vector<uint8_t>& packed, bool samples = false) {
  if (size > 0xFFFFFFFFu) return false;
  std::vector<uint8_t> coded;
  packed.assign(5, 0);
  if (!CodeStream(data, size, contexts, level, packed[0], coded, samples)) return false;
  package::PutLittleEndian(packed.data() + 1, size, 4);
  packed.insert(packed.end(), coded.begin(), coded.end());
  return true;
}

}  // namespace

bool CodeBlockStream(const std::vector<uint8_t>& data, int stream, LzmaLevel level,
                     uint8_t& settings, std::vector<uint8_t>& coded) {
  return CodeStream(data.data(), data.size(), kStreamContexts[stream], level, settings, coded,
                    stream == 3);
}

bool EncodeWholeStream(const uint8_t* data, size_t size, LzmaLevel level,
                       std::vector<uint8_t>& packed) {
  return PackStream(data, size, package::LzmaProps(), level, packed);
}

namespace {

bool LzmaStreams(const SplitDelta& delta, LzmaLevel level, PatchStreams& streams) {
  const std::vector<uint8_t>* all[] = {&delta.operations, &delta.gaps, &delta.values,
                                       &delta.literals};
  for (int i = 0; i < 4; ++i) {
    if (!PackStream(all[i]->data(), all[i]->size(), kStreamContexts[i], level, streams[i],
                    i == 3)) {
      return false;
    }
  }
  return true;
}

// The contexts literals coded after the old file are also tried with: with
// most of them coded against the old bytes a match points at, their
// previous byte tells less. Measured on a 32-bit Windows program pair: 1.8 %
// smaller than with the plain literals' contexts; on Linux programs 0.1 %
// larger, so the smaller of the two is kept.
constexpr package::LzmaProps kAfterOldContexts = {0, 1, 0};

// The fewest literals coded after the old file too, at least 4 KiB and a
// 64th of the old file: coding them so runs the match finder over the whole
// old file, which the few bytes fewer literals could save do not pay for
// (measured on a tree of 4,000 compiled modules, most with under 1 KiB of
// literals: built in 1.6 times the time for no byte less without the
// bound, 1.3 times with only the 4 KiB).
constexpr size_t kFewestAfterOld = 4 << 10;
constexpr size_t kOldPerLiteral = 64;

// `size` bytes coded after the old file with `contexts` and at most
// `window` into `packed`, as streams[3] is packed, where that is smaller
// than `smallest` (else left as it was). The updater reads them through a
// window of kMaxLzmaDictionary, which holds any old file it accepts.
bool CodeAfterOld(const uint8_t* data, size_t size, const uint8_t* old_data, size_t old_size,
                  LzmaLevel level, const package::LzmaProps& contexts, uint32_t window,
                  size_t smallest, std::vector<uint8_t>& packed) {
  LzmaStream lzma;
  if (!EncodeLzma(level, contexts, data, size, lzma, window, smallest, {old_data, old_size})) {
    return lzma.over_limit;  // past the smallest so far: no use
  }
  if (5 + lzma.bytes.size() >= smallest) return true;
  packed.assign(5, package::LzmaPropsByte(contexts));
  package::PutLittleEndian(packed.data() + 1, size, 4);
  packed.insert(packed.end(), lzma.bytes.begin(), lzma.bytes.end());
  return true;
}

// The literals coded after the old file into `packed`, as streams[3] is
// packed, where that makes them smaller than `plain` (else left empty).
bool PackAfterOld(const std::vector<uint8_t>& literals, const uint8_t* old_data, size_t old_size,
                  LzmaLevel level, const std::vector<uint8_t>& plain,
                  std::vector<uint8_t>& packed) {
  packed.clear();
  if (literals.size() < std::max(kFewestAfterOld, old_size / kOldPerLiteral) ||
      old_size > package::kDeltaStreamWindow) {
    return true;
  }
  for (const package::LzmaProps& contexts : {kStreamContexts[3], kAfterOldContexts}) {
    if (!CodeAfterOld(literals.data(), literals.size(), old_data, old_size, level, contexts,
                      package::kDeltaStreamWindow, packed.empty() ? plain.size() : packed.size(),
                      packed)) {
      return false;
    }
  }
  return true;
}

// A patch of a new file of a MiB or more whose operations and differences
// code to at least a quarter of its bytes, and which is at least a 64th of
// the new file: a data archive some releases on, its members edited
// throughout, which the walk covers with hundreds of thousands of short
// copies and differences. (Smaller files keep to the walk and its literals
// coded after the old file: a tree of thousands of compiled modules would
// code each of them again.)
constexpr size_t kFewestAllAfterOld = 1 << 20;

bool MostlyOperations(const Patch& patch, size_t coded, size_t new_size) {
  size_t operations = patch.streams[0].size() + patch.streams[1].size() + patch.streams[2].size();
  return new_size >= kFewestAllAfterOld && operations * 4 >= coded && coded >= new_size / 64;
}

// The new file as one literal coded after the old file into `patch`, as
// `zstd --patch-from` codes a file, where that is smaller than `smallest`
// (else `patch.literals_after_old` is left empty): LZMA's matches into the
// old file, which repeat their distances, cost fewer bytes than the walk's
// operations where those are many and short. Its plain literals' stream is
// the new file stored.
bool PatchAllAfterOld(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                      size_t new_size, LzmaLevel level, size_t smallest, Patch& patch) {
  std::vector<uint8_t> operations;
  package::AppendSplitOp(operations, package::SplitOp::kLiteral, new_size, 0);
  if (!PackStream(operations.data(), operations.size(), kStreamContexts[0], level,
                  patch.streams[0]) ||
      !PackStream(nullptr, 0, kStreamContexts[1], level, patch.streams[1]) ||
      !PackStream(nullptr, 0, kStreamContexts[2], level, patch.streams[2])) {
    return false;
  }
  size_t framing = patch.streams[0].size() + patch.streams[1].size() + patch.streams[2].size();
  if (smallest <= framing ||
      !CodeAfterOld(new_data, new_size, old_data, old_size, level, kStreamContexts[3],
                    package::kMaxLzmaDictionary, smallest - framing, patch.literals_after_old)) {
    return smallest <= framing;
  }
  std::vector<uint8_t>& stored = patch.streams[3];
  stored.assign(5, package::kStoredStream);
  package::PutLittleEndian(stored.data() + 1, new_size, 4);
  stored.insert(stored.end(), new_data, new_data + new_size);
  patch.raw = {std::move(operations), {}, {}, std::vector<uint8_t>(new_data, new_data + new_size)};
  return true;
}

bool Digest(const uint8_t* data, size_t size, uint8_t (&digest)[32]) {
  platform::Sha256 hash;
  hash.Update(data, size);
  return hash.Finish(digest);
}

}  // namespace

namespace {

enum class Made { kNone, kMade, kFailed };

// The streams of the delta that makes `new_data` from `old_data` into
// `patch`: none where there is no delta to make. With `map`, a patch in
// inflated form between the files `map` inflates: the map goes first in its
// operations, which predict no references, and its literals are not coded
// after the old file (whose inflated bytes the updater never holds whole).
Made MakeStreams(const uint8_t* old_data, size_t old_size, const uint8_t* new_data, size_t new_size,
                 const EncodeLimits& walk, const PatchCoding& coding,
                 const package::DeflateMap* map, Patch& patch) {
  std::optional<SplitDelta> delta = EncodeDelta(old_data, old_size, new_data, new_size, walk);
  if (!delta) return Made::kNone;
  if (map) {
    std::vector<uint8_t> ops{package::kInflatedFormHead};
    package::AppendDeflateMap(ops, *map);
    ops.insert(ops.end(), delta->operations.begin(), delta->operations.end());
    delta->operations = std::move(ops);
  } else if (coding.lzma) {
    PredictReferences(old_data, old_size, new_data, new_size, *delta);
  }
  if (!(coding.lzma ? LzmaStreams(*delta, coding.level, patch.streams)
                    : DeflateStreams(*delta, patch.streams)) ||
      (coding.lzma && coding.after_old && !map &&
       !PackAfterOld(delta->literals, old_data, old_size, coding.level, patch.streams[3],
                     patch.literals_after_old))) {
    return Made::kFailed;
  }
  patch.raw = {std::move(delta->operations), std::move(delta->gaps), std::move(delta->values),
               std::move(delta->literals)};
  return Made::kMade;
}

// The bytes a patch's streams take in its record.
size_t CodedSize(const Patch& patch) {
  const std::vector<uint8_t>& literals =
      patch.literals_after_old.empty() ? patch.streams[3] : patch.literals_after_old;
  return patch.streams[0].size() + patch.streams[1].size() + patch.streams[2].size() +
         literals.size();
}

// Lowers `bound` to `size` where that is smaller.
void LowerTo(std::atomic<size_t>& bound, size_t size) {
  size_t was = bound.load();
  while (size < was && !bound.compare_exchange_weak(was, size)) {
  }
}

// The patch in inflated form of an archive or image, where it has one.
struct InflatedPatch {
  const uint8_t* old_data;
  size_t old_size;
  const uint8_t* new_data;
  size_t new_size;
  EncodeLimits walk;
  PatchCoding coding;
  Patch patch;
  Made made = Made::kNone;
  std::atomic<size_t> bound{SIZE_MAX};  // on the patch kept, as it is known

  void Make() {
    std::optional<InflatedPair> pair = InflateForPatch(old_data, old_size, new_data, new_size);
    if (!pair) return;
    made = MakeStreams(pair->old_form.data(), pair->old_form.size(), pair->new_form.data(),
                       pair->new_form.size(), walk, coding, &pair->map, patch);
    if (made == Made::kMade) LowerTo(bound, CodedSize(patch));
  }
};

}  // namespace

platform::Result<std::optional<Patch>> EncodePatch(const uint8_t* old_data, size_t old_size,
                                                   const uint8_t* new_data, size_t new_size,
                                                   const EncodeLimits& limits,
                                                   const PatchCoding& coding) {
  if (old_size == 0 || new_size == 0) return std::optional<Patch>();  // nothing to patch
  EncodeLimits walk = limits;
  if (coding.lzma) walk.copy_run = kLzmaCopyRun;
  // Archives and images whose changed streams deflate again as they were
  // are patched inflated too, and the smaller of the two patches is kept.
  // The patch in inflated form (most of a delta build of one archive) is
  // made on a thread of its own while the plain one is, else after it (a
  // 32-bit updatepkg.exe keeps its address space for one at a time).
  InflatedPatch inflated{old_data, old_size, new_data, new_size, walk, coding, {}};
  inflated.walk.progress = nullptr;  // the new file's bytes count once
  platform::Thread maker;
  if (sizeof(void*) == 8 && StartsAsZipOrPng(new_data, new_size)) {
    auto make = [](void* patch) { static_cast<InflatedPatch*>(patch)->Make(); };
    maker = std::move(platform::StartThread(make, &inflated)).value_or(platform::Thread());
  }
  Patch patch;
  Made plain = MakeStreams(old_data, old_size, new_data, new_size, walk, coding, nullptr, patch);
  package::DeltaHeader hashes;
  auto hash = [&] {
    return Digest(old_data, old_size, hashes.old_hash) &&
           Digest(new_data, new_size, hashes.new_hash);
  };
  bool hashed = false;
  if (maker) {
    // Meanwhile the files' hashes, and the caller's work bounded by the patch.
    hashed = hash();
    if (plain == Made::kMade && coding.beside_inflated) {
      LowerTo(inflated.bound, CodedSize(patch));
      coding.beside_inflated(inflated.bound);
    }
    maker.Join();
  } else if (plain != Made::kFailed) {
    inflated.Make();
  }
  if (inflated.made == Made::kFailed) plain = Made::kFailed;
  if (inflated.made == Made::kMade && plain != Made::kFailed &&
      (plain == Made::kNone || CodedSize(inflated.patch) < CodedSize(patch))) {
    patch = std::move(inflated.patch);
    plain = Made::kMade;
  }
  const size_t coded = plain == Made::kMade ? CodedSize(patch) : 0;
  if (plain == Made::kMade && coding.lzma && coding.after_old &&
      old_size <= package::kMaxLzmaDictionary && new_size <= 0xFFFFFFFFu &&
      MostlyOperations(patch, coded, new_size)) {
    // Its coder holds both files in its window: one short of memory for it
    // (a 32-bit updatepkg.exe) leaves the walk's patch, coded already.
    Patch whole;
    if (PatchAllAfterOld(old_data, old_size, new_data, new_size, coding.level, coded, whole) &&
        !whole.literals_after_old.empty()) {
      patch = std::move(whole);
    }
  }
  if (plain == Made::kNone) return std::optional<Patch>();
  // Neither the system's hash nor a coder short of memory has an error code of its own.
  if (plain == Made::kFailed || !(hashed || hash())) return platform::Status::Refused();
  patch.header = hashes;
  patch.header.old_size = old_size;
  patch.header.new_size = new_size;
  return std::optional<Patch>(std::move(patch));
}

}  // namespace updater::delta
