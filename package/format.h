// The byte layout of an update package: entry records back to back, then an
// eight-byte trailer ("feof" and the payload length), appended to any file.
// All integers are little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"

namespace updater::package {

inline constexpr char kFileTag[4] = {'f', 'i', 'l', 'e'};
// A delta record: the file rebuilt from a file of the old release, see
// package/delta.h. (Earlier builds wrote "dlta" records, one stream of
// operations with the literals inline; this updater refuses them, as an
// update carries the updater that applies it.)
inline constexpr char kDeltaTag[4] = {'d', 's', 't', 'r'};
// A removal: the name, then the size (8 bytes) and SHA-256 of the file the
// old release had there. No times, no stream.
inline constexpr char kRemoveTag[4] = {'g', 'o', 'n', 'e'};
// Only as the first record: the version label the update installs, written
// as a name is, which its texts show in place of the built-in one.
inline constexpr char kLabelTag[4] = {'v', 'e', 'r', 's'};
// A file patched from whichever of several old versions is installed (an
// update from more than one release), see package/record_reader.h.
inline constexpr char kChoiceTag[4] = {'a', 'l', 't', 's'};
// A removal of any of several versions of a file.
inline constexpr char kRemoveAnyTag[4] = {'r', 'm', 'v', 's'};
// Only first or right after the label: the labels of the releases an update
// is made from, for the debug line that says which one a game matched.
inline constexpr char kReleasesTag[4] = {'r', 'e', 'l', 's'};
// Whole files coded together: their headers, then one LZMA stream of all
// their bytes back to back, see package/lzma_decoder.h.
inline constexpr char kSolidTag[4] = {'s', 'o', 'l', 'd'};
// As "sold", right after another solid block: its stream starts with the
// last bytes the block before decoded already in its window.
inline constexpr char kSolidAfterTag[4] = {'s', 'o', 'l', 'c'};
// A delta, and a file patched from whichever version is installed, whose
// patches' streams are LZMA (as StreamPuller reads them with `lzma`) rather
// than zlib; all else as in "dstr" and "alts".
inline constexpr char kDeltaLzmaTag[4] = {'d', 'l', 'z', 'm'};
inline constexpr char kChoiceLzmaTag[4] = {'a', 'l', 'z', 'm'};
// As "dlzm", and its literals are coded after the old file: their stream's
// window holds the whole old file (at most kMaxLzmaDictionary) before its
// first byte, so that new bytes may copy from anywhere in it.
inline constexpr char kDeltaAfterOldTag[4] = {'d', 'l', 'z', 'o'};
// As "alzm", and its whole file is a stream as its patches' are (LZMA or
// stored) rather than zlib.
inline constexpr char kChoiceWholeLzmaTag[4] = {'a', 'l', 'z', 'w'};
// Deltas coded together: each file's header as "dlzm" (or "alzm") has it,
// with the sizes its streams decode to, then four LZMA streams that hold
// every file's streams back to back, see RecordReader.
inline constexpr char kDeltaBlockTag[4] = {'d', 'b', 'l', 'k'};
// Only as the very first record, in every package updatepkg writes: the
// SHA-256 of every payload byte after it (32 bytes), which LocatePayload
// checks, so that a byte damaged anywhere in the records is found before
// any is acted on. The updater's own -l writes none.
inline constexpr char kCheckTag[4] = {'c', 'h', 'e', 'k'};
inline constexpr int64_t kCheckRecordSize = 4 + 32;
// In place of "chek", with the same check: the records after it are framed
// compactly (see Framing). Every build whose streams are LZMA writes it.
inline constexpr char kCompactCheckTag[4] = {'c', 'h', 'k', 'c'};
// Only right after the check record, in every package updatepkg writes
// now: the SHA-256 of the program image the package follows (32 bytes; see
// HashProgramImage), which LocatePayload checks once the check record has
// vouched for it, so that a byte damaged in the program is found too.
inline constexpr char kImageCheckTag[4] = {'i', 'm', 'a', 'g'};
inline constexpr char kEndTag[4] = {'f', 'e', 'o', 'f'};
inline constexpr int64_t kTrailerSize = 8;
// Positions in a package file are signed 32-bit: the payload starts at most
// 2^31 bytes before the end, and the file never reaches 2 GiB.
inline constexpr uint32_t kMaxPayloadLength = 2147483640u;
inline constexpr int64_t kMaxPackageFileSize = 2147483647;

// How a package's records lay out their fields. Plainly (the updater's -l,
// builds whose streams are zlib, packages of before): numbers in their fixed
// widths, names whole, times as they are. Compactly (after a "chkc" check
// record): every number, a name's count too, a varint (7 bits a byte, low
// bits first, never above its plain width's largest value); the entry name
// a record (or a solid block's file) is about as the count of units it
// shares with the one before it, then the rest as a name; each of the three
// times as the step from the time before it, zigzagged (0, -1, 1, -2 as
// 0, 1, 2, 3). Hashes, tags and streams are as they are.
struct Framing {
  bool compact = false;
  WString name;      // the entry name read or written last
  WString old_name;  // the old file's name (of a delta) read or written last
  EntryTimes times;  // the times read or written last
};

// The package output: the stream appended to and the size of the file so far.
struct PackageOut {
  platform::File* file = nullptr;  // null: the bytes are only counted
  int64_t size = 0;
  bool too_large = false;                  // a write was refused because of kMaxPackageFileSize
  bool write_failed = false;               // the OS refused a write
  int os_error = 0;                        // its error
  int64_t source_bytes = 0;                // bytes of file content compressed into it so far
  platform::Sha256* hash = nullptr;        // set: told every byte written
  int64_t check_at = 0;                    // where the check record starts (updatepkg's)
  const uint8_t* image_check = nullptr;    // set: the program's SHA-256, to follow the check record
  std::vector<uint8_t>* memory = nullptr;  // set: the bytes go here instead of `file`
  Framing* framing = nullptr;              // set: the records are framed as it says
};

// The `bytes` bytes (at most 8) of `value` at `out`, lowest first; and the
// value of those at `in`. Every number of the package and the journal is so.
void PutLittleEndian(uint8_t* out, uint64_t value, int bytes);
uint64_t GetLittleEndian(const uint8_t* in, int bytes);

// A 4-byte big-endian number, as a PNG's chunk lengths and CRCs are, and
// the split branch filter's targets.
inline uint32_t GetBigEndian32(const uint8_t* in) {
  return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | in[3];
}

// `value` as a varint (7 bits a byte, low bits first, the top bit set on
// every byte but the last) at `out`, which has room for kMaxVarintBytes;
// its length. The delta streams and compact framing write them so.
inline constexpr size_t kMaxVarintBytes = 10;
size_t PutVarint(uint8_t* out, uint64_t value);

// The zigzag form of a signed step (0, -1, 1, -2 as 0, 1, 2, 3): small
// steps either way take few varint bytes; and back.
uint64_t Zigzag(uint64_t step);
uint64_t Unzigzag(uint64_t coded);

// Appends bytes; false (and the matching flag set) when they cannot all be written.
bool WriteToPackage(PackageOut& out, const void* data, size_t size);

// Writes the unit count and the UTF-16LE units of `name`.
bool WriteEntryName(PackageOut& out, const WString& name);

// Writes a name, compactly as the units it shares with `last` and the rest
// (`last` then holds it); and the entry name a record is about so, after
// the one before it.
bool WritePrefixedName(PackageOut& out, const WString& name, WString& last);
bool WriteRecordName(PackageOut& out, const WString& name);

// Writes the three times, creation first (compactly: after the ones before them).
bool WriteEntryTimes(PackageOut& out, const EntryTimes& times);

// Writes the tag ("file" unless told), the name and the three times.
bool WriteEntryHeader(PackageOut& out, const WString& name, const EntryTimes& times,
                      const char* tag = kFileTag);

// Writes the "feof" tag and the payload length.
bool WritePackageTrailer(PackageOut& out, uint32_t payload_length);

// Reads a name; zero units are dropped. None when the stream ends inside it.
std::optional<WString> ReadEntryName(platform::File& package, const Framing* framing = nullptr);

// Reads a name written so, and keeps it in `last` (`framing.name`, for the
// entry name a record is about).
std::optional<WString> ReadPrefixedName(platform::File& package, Framing& framing, WString& last);

// Reads a number of `bytes` bytes (at most 8) as `framing` lays it out
// (plainly: little-endian); none when the stream ends inside it, or when a
// varint is longer than 10 bytes or above the width's largest value.
std::optional<uint64_t> ReadNumber(platform::File& package, int bytes,
                                   const Framing* framing = nullptr);

// Writes one.
bool WriteNumber(PackageOut& out, uint64_t value, int bytes);

// One file of a solid block: its name, times, size and SHA-256.
struct SolidMember {
  WString name;
  EntryTimes times;
  uint64_t size = 0;
  uint8_t hash[32] = {};
  uint8_t filter = 0;   // kNoFilter, kSplitBranchFilter, kSampleFilter, kDeflatedFilter
  uint64_t coded = 0;   // its bytes in the block's stream (its size, but where split or inflated)
  uint8_t samples = 0;  // with kSampleFilter, its form of samples
  // With kDeflatedFilter, the map of its deflate streams (package/deflate_form.h,
  // no old streams) as one stream read as a delta's LZMA streams are: the
  // build's bytes, or where the reader found them in the package.
  std::vector<uint8_t> map;
  int64_t map_at = 0;
  uint32_t map_length = 0;
};

// The filters a solid block's file may be coded through
// (package/branch_filter.h, package/sample_filter.h; kDeflatedFilter: its
// deflate streams inflated, deflated again as package/deflate_form.h says).
// 1, the plain branch filter of earlier builds, is no longer read.
inline constexpr uint8_t kNoFilter = 0, kSplitBranchFilter = 2, kSampleFilter = 3,
                         kDeflatedFilter = 4;

// Writes the head of a solid block ("sold"): its files, then the coder's
// settings (`props`: the lc/lp/pb byte, then the window) and the length of
// the stream that follows. With `preset` bytes of the block before in its
// window at the start ("solc"), their count follows the window.
bool WriteSolidHead(PackageOut& out, const std::vector<SolidMember>& members, uint8_t props,
                    uint32_t dictionary, uint32_t packed, uint32_t preset = 0);

// Reads the three times of a record, and keeps them in `framing`; none when
// the stream ends inside them.
std::optional<EntryTimes> ReadEntryTimes(platform::File& package, Framing& framing);

// True when the package whose trailer is at `payload_end` starts with a
// "chkc" check record: its records are framed compactly. Leaves the stream
// where it was.
bool FramedCompactly(platform::File& package, int64_t payload_end);

// As ReadRecordTag looks, in the order of kRecordTags.
enum class RecordTag {
  kFile,
  kDelta,
  kRemove,
  kLabel,
  kEnd,
  kChoice,
  kRemoveAny,
  kReleases,
  kSolid,
  kDeltaLzma,
  kChoiceLzma,
  kDeltaBlock,
  kChoiceWholeLzma,
  kSolidAfter,
  kDeltaAfterOld,
  kInvalid
};

// What a record of one file is.
enum class RecordKind {
  kFile,    // the whole file, in its stream or its part of a solid block's
  kDelta,   // the file rebuilt from an old one, in four streams ("dstr")
  kRemove,  // the file removed ("gone", or "rmvs" for any of several versions); no stream
  kChoice,  // the file patched from whichever old version is installed ("alts")
};

// Every record tag and what its record is. Several tags make one kind of
// record and differ in how its streams are coded: the coding is the tag's,
// not a field of the record, so that a reader knows it from the tag alone.
struct RecordTagRow {
  RecordTag tag;
  const char* bytes;
  RecordKind kind;          // of a record of one file (kFile for the others)
  bool lzma_streams;        // the patches' streams LZMA (or stored), not zlib
  bool whole_lzma;          // the whole file beside the patches LZMA too
  bool literals_after_old;  // the literals coded with the old file before them
};
inline constexpr RecordTagRow kRecordTags[] = {
    {RecordTag::kFile, kFileTag, RecordKind::kFile, false, false, false},
    {RecordTag::kDelta, kDeltaTag, RecordKind::kDelta, false, false, false},
    {RecordTag::kRemove, kRemoveTag, RecordKind::kRemove, false, false, false},
    {RecordTag::kLabel, kLabelTag, RecordKind::kFile, false, false, false},
    {RecordTag::kEnd, kEndTag, RecordKind::kFile, false, false, false},
    {RecordTag::kChoice, kChoiceTag, RecordKind::kChoice, false, false, false},
    {RecordTag::kRemoveAny, kRemoveAnyTag, RecordKind::kRemove, false, false, false},
    {RecordTag::kReleases, kReleasesTag, RecordKind::kFile, false, false, false},
    {RecordTag::kSolid, kSolidTag, RecordKind::kFile, true, false, false},
    {RecordTag::kDeltaLzma, kDeltaLzmaTag, RecordKind::kDelta, true, false, false},
    {RecordTag::kChoiceLzma, kChoiceLzmaTag, RecordKind::kChoice, true, false, false},
    {RecordTag::kDeltaBlock, kDeltaBlockTag, RecordKind::kDelta, true, false, false},
    {RecordTag::kChoiceWholeLzma, kChoiceWholeLzmaTag, RecordKind::kChoice, true, true, false},
    {RecordTag::kSolidAfter, kSolidAfterTag, RecordKind::kFile, true, false, false},
    {RecordTag::kDeltaAfterOld, kDeltaAfterOldTag, RecordKind::kDelta, true, false, true},
};

constexpr bool RowsInTagOrder() {
  int i = 0;
  for (const RecordTagRow& row : kRecordTags) {
    if (row.tag != static_cast<RecordTag>(i++)) return false;
  }
  return i == static_cast<int>(RecordTag::kInvalid);
}
static_assert(RowsInTagOrder(), "a row of kRecordTags for every RecordTag, in its order");

// Reads a four-byte tag; kInvalid when it is no known tag or cannot be read whole.
RecordTag ReadRecordTag(platform::File& package);

// Reads the version label a package at the stream's position starts with,
// and leaves the position where it was; none when it has none.
std::optional<WString> PeekVersionLabel(platform::File& package, int64_t payload_end);

// Reads the next tag of a package whose trailer LocatePayload found at
// `payload_end`: kEnd only for that trailer's tag, since no other ends it.
RecordTag ReadNextTag(platform::File& package, int64_t payload_end);

enum class LocateResult {
  kFound,          // the stream is at the first record (or the trailer's tag when empty)
  kNoPackage,      // the file does not end with a trailer
  kDamaged,        // a trailer whose length does not fit the file or the format
  kCut,            // bytes follow the program image, but no trailer ends them
  kMismatch,       // a check record whose SHA-256 is not the payload's (or a failed read)
  kImageMismatch,  // an image check record whose SHA-256 is not the program image's
};

// The data directory entry of a PE image that locates its certificate table.
inline constexpr int kCertificateDirectory = 4;

// Finds the payload from the trailer at the end of `package`, or right before
// the certificate table of a signed PE image when that table ends the file.
// `payload_end` receives the offset of the trailer when one is there. A
// payload that starts with a check record is read whole to check it, the
// program image too where an image check record follows, and the stream
// left past them.
LocateResult LocatePayload(platform::File& package, int64_t* payload_end = nullptr);

// The SHA-256 of the first `size` bytes of `file` (the program image a
// package follows), leaving out what signing a PE image rewrites, as its
// Authenticode digest does: the header checksum, the certificate directory
// entry and the certificate table. False when they cannot be read.
bool HashProgramImage(platform::File& file, int64_t size, uint8_t digest[32]);

// The program an update file starts with.
enum class ProgramKind { kWindows32Gui, kWindows32Console, kWindows64, kLinux, kUnknown };
ProgramKind ReadProgramKind(platform::File& file);

}  // namespace updater::package
