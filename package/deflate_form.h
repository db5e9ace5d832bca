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
// | each: step, packed, inflated, form | where the stream starts in the old file (the step from the end of the one before), its bytes there, the bytes it inflates to, its StreamForm |
// | count | the new file's streams that are deflated again |
// | each: step, inflated, deflated, form, settings, chunk (PNG only) | where its inflated bytes start in the inflated new file (the step from the end of the one before), their count, the bytes deflate makes of them, its StreamForm, DeflateSettings' byte, a PNG's bytes per IDAT chunk |
// clang-format on
//
// The operations that follow make the inflated new file from the inflated
// old one; every other byte stays as it is in both. Of a PNG only the
// zlib stream is in the inflated bytes: its IDAT chunks are made again from
// the deflated bytes, each `chunk` long but the last, with their CRCs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "package/content_stream.h"
#include "platform/file.h"
#include "platform/status.h"

struct z_stream_s;

namespace updater::package {

inline constexpr uint8_t kInflatedFormHead = 3;

// The largest stream a map may name, inflated: the updater holds one old
// stream inflated at a time, so this bounds its memory.
inline constexpr uint64_t kMaxInflatedStream = 64 << 20;
// The most streams of each file a map may name.
inline constexpr uint64_t kMaxMapStreams = 1 << 16;

enum class StreamForm : uint8_t {
  kRawDeflate = 0,  // a zip member's data
  kZlib = 1,        // RFC 1950
  kPngImage = 2,    // a zlib stream cut into a PNG's IDAT chunks
};

// What zlib's deflateInit2 is given, as one number: the level (1 to 9) in
// the low four bits, then a bit for memLevel 9 (else 8), a bit for the
// filtered strategy (else the default), and the window bits less 8 above.
struct DeflateSettings {
  uint8_t level = 6;
  uint8_t mem_level = 8;
  uint8_t window_bits = 15;  // 9 to 15
  bool filtered = false;
  uint64_t Byte() const;
  static bool FromByte(uint64_t byte, DeflateSettings& settings);
};

struct OldStream {
  uint64_t at = 0;        // in the old file
  uint64_t packed = 0;    // its bytes there
  uint64_t inflated = 0;  // what it inflates to
  StreamForm form = StreamForm::kRawDeflate;
  uint64_t inflated_at = 0;  // where its bytes start in the inflated old file
};

struct NewStream {
  uint64_t at = 0;        // where its inflated bytes start in the inflated new file
  uint64_t inflated = 0;  // their count
  uint64_t deflated = 0;  // the bytes deflate makes of them (a PNG's chunks not counted)
  StreamForm form = StreamForm::kRawDeflate;
  DeflateSettings settings;
  uint32_t chunk = 0;  // a PNG: bytes of each IDAT chunk but the last
};

// The bytes a stream takes in its file: a PNG's with the 12 bytes of each chunk's frame.
uint64_t FramedSize(const NewStream& stream);

struct DeflateMap {
  std::vector<OldStream> olds;
  std::vector<NewStream> news;
  uint64_t old_size = 0, new_size = 0;  // of the inflated files
};

// Appends `map`'s fields (after kInflatedFormHead) to an operation stream.
void AppendDeflateMap(std::vector<uint8_t>& ops, const DeflateMap& map);

// Reads the map after kInflatedFormHead from `ops`, of a patch from an old
// file of `old_size` bytes to a new one of `new_size`, and the sizes of the
// two inflated: false where it is damaged (streams out of order or out of
// their files, an inflated stream past kMaxInflatedStream).
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
  bool Emit(const uint8_t* data, size_t size);

  const DeflateMap& map_;
  ByteSink& out_;
  size_t next_ = 0;  // the stream being made, or the next one
  uint64_t at_ = 0;  // inflated bytes fed so far
  std::unique_ptr<z_stream_s> zs_;
  std::vector<uint8_t> piece_, made_;
  uint64_t deflated_ = 0;   // of the stream being made
  uint32_t chunk_left_ = 0; // of its IDAT chunk being written
  uint32_t crc_ = 0;        // of that chunk
  bool failed_ = false;
};

inline constexpr size_t kDeflatePiece = 64 << 10;

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
