// Patches in inflated form: a file of deflate streams (a zip archive's
// members, a PNG's image data) changes throughout its compressed bytes when a
// few of its inflated bytes change. Such a patch is made between the two
// files with their streams inflated, and the updater deflates the new
// file's streams again, bit for bit, with the settings they were made with.
//
// A patch in inflated form starts its operation stream with the byte
// kInflatedFormHead (the references operation with no kind, which no patch
// predicting references writes), then the map, as varints:
//
// clang-format off
// | field | what |
// |---|---|
// | count | the old file's streams that are read inflated |
// | each: step, packed, inflated, form | where the stream starts in the old file (the step from the end of the one before), its bytes there (a PNG's chunk frames too), the bytes it inflates to, its StreamForm |
// | count | the new file's streams that are deflated again |
// | each: step, deflated, inflated, form, settings, chunk (PNG only), samples (sampled only) | where the stream starts in the new file (as for the old), the bytes deflate makes (without chunk frames), the bytes it inflates to, its StreamForm, DeflateSettings' number (with kSampledStream where samples follows), a PNG's bytes per IDAT chunk, the sample form its inflated bytes are coded in as differences |
// clang-format on
//
// Both files and both inflated are below kMaxFormSize, so that the map's
// numbers are 32-bit.
//
// The operations that follow make the inflated new file from the inflated
// old one; every other byte stays as it is in both. Of a PNG only the
// zlib stream is in the inflated bytes: its IDAT chunks are made again from
// the deflated bytes, each `chunk` long but the last, with their CRCs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "package/content_stream.h"
#include "package/format.h"
#include "package/sample_filter.h"
#include "platform/file.h"
#include "platform/status.h"

struct z_stream_s;

namespace updater::package {

inline constexpr uint8_t kInflatedFormHead = 3;

// The largest stream a map may name, inflated: the updater holds one old
// stream inflated at a time, so this bounds its memory.
inline constexpr uint32_t kMaxInflatedStream = 64 << 20;
// The most streams of each file a map may name.
inline constexpr uint32_t kMaxMapStreams = 1 << 16;
// Files patched in inflated form, and their inflated forms, are below 2 GiB
// (as every patch's files are).
inline constexpr uint32_t kMaxFormSize = 0x7FFFFFFF;

enum class StreamForm : uint8_t {
  kRawDeflate = 0,  // a zip member's data
  kZlib = 1,        // RFC 1950
  kPngImage = 2,    // a zlib stream cut into a PNG's IDAT chunks
};

// memLevel 10 of the zlib every program links (cmake/zlib_sources.cmake):
// Info-ZIP's blocks, so that what its zip deflated is made again.
inline constexpr uint8_t kZipBlocks = 10;

// What zlib's deflateInit2 is given, as one number: the level (1 to 9) in
// the low four bits, then memLevel less 8 in two (8, 9 or kZipBlocks), a
// bit for the filtered strategy (else the default), and the window bits
// less 8 above.
struct DeflateSettings {
  uint8_t level = 6;
  uint8_t mem_level = 8;
  uint8_t window_bits = 15;  // 9 to 15
  bool filtered = false;
  uint32_t Number() const;
  static bool FromNumber(uint32_t number, DeflateSettings& settings);
};

// One stream of the old file or of the new.
struct MapStream {
  uint32_t at = 0;        // where it starts in its file
  uint32_t packed = 0;    // old: its bytes there; new: the bytes deflate makes
  uint32_t inflated = 0;  // the bytes it inflates to
  StreamForm form = StreamForm::kRawDeflate;
  DeflateSettings settings;  // new: how they are deflated
  uint32_t chunk = 0;        // new, a PNG: bytes of each IDAT chunk but the last
  uint32_t framed = 0;       // its bytes in its file (a PNG's with its chunk frames)
  uint32_t inflated_at = 0;  // where its bytes start in the inflated file
  // New: the form of samples (package/sample_filter.h) its inflated bytes
  // are coded in as differences, or 0.
  uint8_t samples = 0;
};

// Set in a new stream's settings number where its sample form follows.
inline constexpr uint32_t kSampledStream = 1 << 10;

struct DeflateMap {
  std::vector<MapStream> olds, news;
  uint32_t old_size = 0, new_size = 0;  // of the inflated files
  uint32_t old_file = 0;                // of the old file
};

// Appends `map`'s fields (after kInflatedFormHead) to an operation stream.
void AppendDeflateMap(std::vector<uint8_t>& ops, const DeflateMap& map);

// Reads the map after kInflatedFormHead from `ops`, of a patch from an old
// file of `old_size` bytes to a new one of `new_size`, and works out the
// streams' framed sizes and places in the inflated files and the sizes of
// those: false where it is damaged (streams out of order or out of their
// files, an inflated stream past kMaxInflatedStream, a file or an inflated
// one past kMaxFormSize).
bool ReadDeflateMap(StreamPuller& ops, uint64_t old_size, uint64_t new_size, DeflateMap& map);

// Makes the new file from its inflated bytes, handed in order: the bytes of
// each stream deflated again as `map` says, the rest as they are, into
// `out`. The bytes are deflated in pieces of kDeflatePiece whatever pieces
// they come in, so that the build, which checks a stream deflates so, and
// the install make the very same bytes.
class Redeflater {
 public:
  Redeflater(const DeflateMap& map, ByteSink& out);
  ~Redeflater();
  Redeflater(const Redeflater&) = delete;
  Redeflater& operator=(const Redeflater&) = delete;

  bool Feed(const uint8_t* data, size_t size);
  // True when every stream was made and deflated to its recorded size.
  bool Finish();

 private:
  bool Start();
  bool Deflate(bool last);
  bool Emit(const uint8_t* data, uint32_t size);

  const DeflateMap& map_;
  ByteSink& out_;
  size_t next_ = 0;  // the stream being made, or the next one
  uint32_t at_ = 0;  // inflated bytes fed so far
  std::unique_ptr<z_stream_s> zs_;
  std::vector<uint8_t> piece_, made_;
  uint32_t held_ = 0;                         // bytes in piece_
  uint32_t deflated_ = 0;                     // of the stream being made
  uint32_t chunk_left_ = 0;                   // of its IDAT chunk being written
  uint32_t crc_ = 0;                          // of that chunk
  std::optional<SampleDifferences> samples_;  // undoes a sampled stream's differences
  bool failed_ = false;
};

inline constexpr uint32_t kDeflatePiece = 64 << 10;

// The old file as a patch in inflated form reads it: by position, each of
// its streams inflated whole when it is first read from (one at a time).
class InflatedOld {
 public:
  InflatedOld(const DeflateMap& map, const platform::File& old) : map_(map), old_(old) {}
  // `size` bytes from `offset` of the inflated old file; false where the old
  // file is short or a stream does not inflate as its map says (`read` holds
  // a failed read's error).
  bool Read(uint64_t offset, uint8_t* out, size_t size, platform::Status& read);

 private:
  bool Inflate(size_t stream, platform::Status& read);

  const DeflateMap& map_;
  const platform::File& old_;
  size_t held_ = SIZE_MAX;  // the stream in `inflated_`
  std::vector<uint8_t> inflated_;
};

}  // namespace updater::package
