// The deflate streams of a changed file, for a patch in inflated form
// (package/deflate_form.h): found by content, not by name.
// - Zip members (any archive made of zip local entries: .zip, .pk3, .jar):
//   a local header of method 8, not encrypted, not zip64; its stream ends
//   where its sizes say, or, with a data descriptor, where deflate ends.
// - A PNG's image data: its IDAT chunks, in a row, each as long as the first
//   but the last (as a writer cuts its zlib stream).
// - In a file of neither kind, zlib streams anywhere (a format of its own
//   that deflates its parts): a header that says so, whose stream inflates
//   whole to at least 64 bytes.
//
// A new file's changed stream is inflated only where the pinned zlib makes
// it again bit for bit under some settings (FindSettings); an unchanged one
// (its bytes found whole in the old file) stays as it is in both files, so
// that the patch copies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "package/deflate_form.h"

namespace updater::delta {

struct FoundStream {
  uint64_t at = 0, packed = 0;  // its bytes in the file (a PNG's chunk frames too)
  uint64_t deflated = 0;        // of those, the deflate stream's (zlib's, for a PNG)
  package::StreamForm form = package::StreamForm::kRawDeflate;
  uint32_t chunk = 0;    // a PNG: the first IDAT chunk's length
  int level_hint = 6;    // the level its header suggests, tried first
  int window_bits = 15;  // zlib's header tells; a zip member's 15
  std::vector<uint8_t> inflated;
  // Inflated past the growth asked (then `inflated` is empty): it stays as it is.
  bool grows_past = false;
  // A zip member whose bytes the other file holds as a member too, not yet
  // inflated (`inflated` empty): unchanged, it stays as it is in both.
  bool unread = false;
};

// True when the `size` bytes at `head` start as a zip archive or a PNG does
// (8 bytes tell), the files whose streams a whole file's coding looks for.
bool StartsAsZipOrPng(const uint8_t* head, size_t size);

// The bytes of each zip member of `data` whose local header gives its size,
// as the header says, none inflated: what FindDeflateStreams may leave
// unread in the other file of a pair.
std::unordered_set<std::string_view> SizedZipMembers(const uint8_t* data, size_t size);

// The deflate streams of `data`, in order, each inflated whole (at most
// package::kMaxInflatedStream). With `most_growth`, a PNG's or a sized zip
// member's inflating stops once it passes that many times its deflated
// bytes, and the stream is marked `grows_past`. A sized zip member whose
// bytes are among `held_elsewhere` is left `unread`.
std::vector<FoundStream> FindDeflateStreams(
    const uint8_t* data, size_t size, uint32_t most_growth = 0,
    const std::unordered_set<std::string_view>* held_elsewhere = nullptr);

// Settings under which the pinned zlib makes `stream` of `file` again bit
// for bit (through package::Redeflater, as the install will); none where
// no tried one does: the level its header suggests first, then every other,
// each at memLevel 8, with Info-ZIP's blocks (a zip member) and at memLevel
// 9, with the default and the filtered strategy.
std::optional<package::DeflateSettings> FindSettings(const FoundStream& stream,
                                                     const uint8_t* file);

// Decides, stream by stream in the file's order, which of a new file's
// streams its form holds inflated: a stream not among `old_bytes` (the old
// file's, where there is one), growing at most `most_growth` times where
// that is given, that FindSettings makes again (the settings of the stream
// before tried first); none once the first streams all missed (another
// encoder made the file's), none past package::kMaxMapStreams.
class StreamChooser {
 public:
  StreamChooser(const uint8_t* data, uint32_t most_growth,
                const std::unordered_set<std::string_view>* old_bytes = nullptr);
  // True where `s` (the next stream of the file) is held inflated, with its
  // map stream into `stream`; an unread stream is inflated first.
  bool Take(FoundStream& s, package::MapStream& stream);

 private:
  const uint8_t* data_;
  uint32_t most_growth_;
  const std::unordered_set<std::string_view>* old_bytes_;
  std::optional<package::DeflateSettings> settings_;  // the last found
  uint32_t made_ = 0;
  int missed_ = 0;
};

// Two files with their streams inflated, and the map of them.
struct InflatedPair {
  package::DeflateMap map;
  std::vector<uint8_t> old_form, new_form;
};

// The pair a patch in inflated form is made between; none where no stream
// of the new file is both changed and made again by FindSettings. (A file
// coded whole takes its form from WholeForm, delta/whole_form.h.)
std::optional<InflatedPair> InflateForPatch(const uint8_t* old_data, size_t old_size,
                                            const uint8_t* new_data, size_t new_size);

}  // namespace updater::delta
