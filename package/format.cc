#include "package/format.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "package/entry_name.h"

namespace updater::package {

void PutLittleEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittleEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

namespace {

bool ReadExactly(platform::File& package, void* buffer, size_t size) {
  return package.Read(buffer, size) == size;
}

bool ReadAt(platform::File& file, int64_t offset, void* buffer, size_t size) {
  return offset >= 0 && file.Seek(offset, SEEK_SET).ok() && ReadExactly(file, buffer, size);
}

// Where a PE image keeps the fields signing it rewrites: its header
// checksum, and its certificate directory entry (0 where it has none).
struct SigningFields {
  int64_t checksum = 0;
  int64_t directory = 0;
};

std::optional<SigningFields> PeSigningFields(platform::File& file) {
  uint8_t dos[64];
  if (!ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
  int64_t pe = static_cast<int64_t>(GetLittleEndian(dos + 0x3C, 4));
  uint8_t header[24 + 112];  // signature, file header, optional header up to its directories
  if (!ReadAt(file, pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0) {
    return std::nullopt;
  }
  const uint8_t* optional = header + 24;
  uint64_t magic = GetLittleEndian(optional, 2);
  if (magic != 0x10B && magic != 0x20B) return std::nullopt;
  int64_t directories = magic == 0x10B ? 96 : 112;  // PE32, PE32+
  SigningFields fields;
  fields.checksum = pe + 24 + 64;
  if (GetLittleEndian(optional + directories - 4, 4) > kCertificateDirectory) {
    fields.directory = pe + 24 + directories + 8 * kCertificateDirectory;
  }
  return fields;
}

// The start and length of the certificate table of a signed PE image whose
// signing fields are `fields`.
std::optional<std::pair<int64_t, int64_t>> CertificateTable(
    platform::File& file, const std::optional<SigningFields>& fields) {
  uint8_t entry[8];
  if (!fields || fields->directory == 0 || !ReadAt(file, fields->directory, entry, sizeof entry)) {
    return std::nullopt;
  }
  int64_t length = static_cast<int64_t>(GetLittleEndian(entry + 4, 4));
  if (length == 0) return std::nullopt;
  return std::make_pair(static_cast<int64_t>(GetLittleEndian(entry, 4)), length);
}

std::optional<std::pair<int64_t, int64_t>> CertificateTable(platform::File& file) {
  return CertificateTable(file, PeSigningFields(file));
}

// Hashes the bytes of `file` from `from` to `to`; false when they cannot all be read.
bool HashRange(platform::File& file, int64_t from, int64_t to, platform::Sha256& hash) {
  if (from >= to) return true;
  if (!file.Seek(from, SEEK_SET)) return false;
  std::vector<uint8_t> buffer(64 * 1024);
  for (int64_t left = to - from; left > 0;) {
    size_t got = file.Read(buffer.data(), static_cast<size_t>(std::min<int64_t>(
                                              left, static_cast<int64_t>(buffer.size()))));
    if (got == 0) return false;
    hash.Update(buffer.data(), got);
    left -= static_cast<int64_t>(got);
  }
  return true;
}

// Where the certificate table of a signed PE image starts, when the image
// has one that ends exactly at the end of the file (`size` bytes).
std::optional<int64_t> CertificateTableStart(platform::File& file, int64_t size) {
  std::optional<std::pair<int64_t, int64_t>> table = CertificateTable(file);
  if (!table || table->first + table->second != size) return std::nullopt;
  return table->first;
}

// The end of a PE image: past its last section and its certificate table.
std::optional<int64_t> PeImageEnd(platform::File& file, const uint8_t* dos) {
  int64_t pe = static_cast<int64_t>(GetLittleEndian(dos + 0x3C, 4));
  uint8_t header[24];  // signature and file header
  if (!ReadAt(file, pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0) {
    return std::nullopt;
  }
  int64_t sections = static_cast<int64_t>(GetLittleEndian(header + 6, 2));
  int64_t table = pe + 24 + static_cast<int64_t>(GetLittleEndian(header + 20, 2));
  int64_t end = table + 40 * sections;
  for (int64_t i = 0; i < sections; ++i) {
    uint8_t section[40];
    if (!ReadAt(file, table + 40 * i, section, sizeof section)) return std::nullopt;
    end = std::max<int64_t>(end, static_cast<int64_t>(GetLittleEndian(section + 20, 4) +
                                                      GetLittleEndian(section + 16, 4)));
  }
  if (std::optional<std::pair<int64_t, int64_t>> signature = CertificateTable(file)) {
    end = std::max(end, signature->first + signature->second);
  }
  return end;
}

#ifndef _WIN32
// (Only where ELF programs are built: a Windows program never carries one,
// and updater.exe has no room to spare.)
// The end of an ELF image: past its header tables, its segments and its
// sections that take room in the file.
std::optional<int64_t> ElfImageEnd(platform::File& file, const uint8_t* elf) {
  bool wide = elf[4] == 2;                                         // ELFCLASS64
  if ((elf[4] != 1 && !wide) || elf[5] != 1) return std::nullopt;  // little-endian only
  int w = wide ? 8 : 4;
  uint64_t phoff = GetLittleEndian(elf + (wide ? 0x20 : 0x1C), w),
           shoff = GetLittleEndian(elf + (wide ? 0x28 : 0x20), w);
  uint64_t phsize = GetLittleEndian(elf + (wide ? 0x36 : 0x2A), 2),
           phnum = GetLittleEndian(elf + (wide ? 0x38 : 0x2C), 2);
  uint64_t shsize = GetLittleEndian(elf + (wide ? 0x3A : 0x2E), 2),
           shnum = GetLittleEndian(elf + (wide ? 0x3C : 0x30), 2);
  uint64_t end = std::max(phoff + phnum * phsize, shoff + shnum * shsize);
  uint8_t entry[64];
  // A table the file ends inside of is an image cut short: past its end.
  for (uint64_t i = 0; i < phnum && phsize <= sizeof entry; ++i) {
    if (!ReadAt(file, static_cast<int64_t>(phoff + i * phsize), entry, phsize)) break;
    end = std::max(end, GetLittleEndian(entry + (wide ? 8 : 4), w) +
                            GetLittleEndian(entry + (wide ? 0x20 : 0x10), w));
  }
  for (uint64_t i = 0; i < shnum && shsize <= sizeof entry; ++i) {
    if (!ReadAt(file, static_cast<int64_t>(shoff + i * shsize), entry, shsize)) break;
    if (GetLittleEndian(entry + 4, 4) == 8) continue;  // SHT_NOBITS: no bytes in the file
    end = std::max(end, GetLittleEndian(entry + (wide ? 0x18 : 0x10), w) +
                            GetLittleEndian(entry + (wide ? 0x20 : 0x14), w));
  }
  if (end > static_cast<uint64_t>(kMaxPackageFileSize)) return std::nullopt;
  return static_cast<int64_t>(end);
}
#endif

// True when the first `size` bytes of `file` are not its program image
// alone (a PE or ELF program; any other file has no image to end): bytes
// follow the image, or the image itself is cut short.
bool NotTheImageAlone(platform::File& file, int64_t size) {
  uint8_t head[64];
  if (!ReadAt(file, 0, head, sizeof head)) return false;
  std::optional<int64_t> end;
  if (head[0] == 'M' && head[1] == 'Z') end = PeImageEnd(file, head);
#ifndef _WIN32
  if (std::memcmp(head,
                  "\x7f"
                  "ELF",
                  4) == 0)
    end = ElfImageEnd(file, head);
#endif
  return end && size != *end;
}

// The end of the bytes a package may end at: the file's end, or the start
// of a certificate table that signing appended after the trailer, less the
// zero bytes (at most 7) that aligned the table.
int64_t PackageEnd(platform::File& file, int64_t size) {
  std::optional<int64_t> table = CertificateTableStart(file, size);
  for (int64_t padding = 0; table && padding < 8; ++padding) {
    uint8_t tail[16] = {};
    int64_t end = *table - padding;
    if (!ReadAt(file, end - kTrailerSize, tail, kTrailerSize + padding)) break;
    if (std::memcmp(tail, kEndTag, 4) == 0 &&
        std::all_of(tail + kTrailerSize, tail + kTrailerSize + padding,
                    [](uint8_t b) { return b == 0; })) {
      return end;
    }
  }
  return size;
}

}  // namespace

bool WriteToPackage(PackageOut& out, const void* data, size_t size) {
  if (out.too_large || out.write_failed) return false;
  if (out.size + static_cast<int64_t>(size) > kMaxPackageFileSize) {
    out.too_large = true;
    return false;
  }
  if (out.hash) out.hash->Update(data, size);
  if (out.memory) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out.memory->insert(out.memory->end(), bytes, bytes + size);
  } else if (out.file) {
    platform::Status written = out.file->Write(data, size);
    if (!written) {
      out.write_failed = true;
      out.os_error = written.error();
      return false;
    }
  }
  out.size += static_cast<int64_t>(size);
  return true;
}

bool WriteEntryName(PackageOut& out, const WString& name) {
  if (!WriteNumber(out, name.size(), 2)) return false;
  std::vector<uint8_t> units(name.size() * 2);
  for (size_t i = 0; i < name.size(); ++i) PutLittleEndian(&units[2 * i], name[i], 2);
  return WriteToPackage(out, units.data(), units.size());
}

size_t PutVarint(uint8_t* out, uint64_t value) {
  size_t size = 0;
  for (; value >= 0x80; value >>= 7) out[size++] = static_cast<uint8_t>(value | 0x80);
  out[size++] = static_cast<uint8_t>(value);
  return size;
}

uint64_t Zigzag(uint64_t step) { return (step << 1) ^ (0 - (step >> 63)); }
uint64_t Unzigzag(uint64_t coded) { return (coded >> 1) ^ (0 - (coded & 1)); }

bool WritePrefixedName(PackageOut& out, const WString& name, WString& last) {
  if (!out.framing || !out.framing->compact) return WriteEntryName(out, name);
  size_t shared = 0;
  while (shared < name.size() && shared < last.size() && name[shared] == last[shared]) ++shared;
  last = name;
  return WriteNumber(out, shared, 2) && WriteEntryName(out, name.substr(shared));
}

bool WriteRecordName(PackageOut& out, const WString& name) {
  return !out.framing ? WriteEntryName(out, name) : WritePrefixedName(out, name, out.framing->name);
}

bool WriteEntryTimes(PackageOut& out, const EntryTimes& times) {
  const FileTime now[3] = {times.creation, times.last_access, times.last_write};
  Framing* framing = out.framing;
  bool compact = framing && framing->compact;
  const FileTime before[3] = {compact ? framing->times.creation : 0,
                              compact ? framing->times.last_access : 0,
                              compact ? framing->times.last_write : 0};
  if (compact) framing->times = times;
  bool written = true;
  for (int i = 0; i < 3; ++i) {
    written = written && WriteNumber(out, compact ? Zigzag(now[i] - before[i]) : now[i], 8);
  }
  return written;
}

bool WriteEntryHeader(PackageOut& out, const WString& name, const EntryTimes& times,
                      const char* tag) {
  return WriteToPackage(out, tag, 4) && WriteRecordName(out, name) && WriteEntryTimes(out, times);
}

bool WritePackageTrailer(PackageOut& out, uint32_t payload_length) {
  uint8_t length[4];
  PutLittleEndian(length, payload_length, 4);
  return WriteToPackage(out, kEndTag, sizeof kEndTag) && WriteToPackage(out, length, sizeof length);
}

std::optional<WString> ReadEntryName(platform::File& package, const Framing* framing) {
  std::optional<uint64_t> units = ReadNumber(package, 2, framing);
  if (!units) return std::nullopt;
  std::vector<uint8_t> raw(*units * 2);
  if (!ReadExactly(package, raw.data(), raw.size())) return std::nullopt;
  WString name;
  for (size_t i = 0; i < *units; ++i) {
    auto unit = static_cast<char16_t>(GetLittleEndian(&raw[2 * i], 2));
    if (unit != 0) name += unit;
  }
  return name;
}

std::optional<WString> ReadPrefixedName(platform::File& package, Framing& framing, WString& last) {
  if (!framing.compact) return ReadEntryName(package);
  std::optional<uint64_t> shared = ReadNumber(package, 2, &framing);
  if (!shared || *shared > last.size()) return std::nullopt;
  std::optional<WString> rest = ReadEntryName(package, &framing);
  if (!rest) return std::nullopt;
  last.resize(static_cast<size_t>(*shared));
  last += *rest;
  return last;
}

std::optional<uint64_t> ReadNumber(platform::File& package, int bytes, const Framing* framing) {
  uint8_t encoded[8];
  if (!framing || !framing->compact || bytes == 0) {
    if (!ReadExactly(package, encoded, static_cast<size_t>(bytes))) return std::nullopt;
    return GetLittleEndian(encoded, bytes);
  }
  uint64_t value = 0;
  for (int shift = 0; shift < 70; shift += 7) {
    if (!ReadExactly(package, encoded, 1)) return std::nullopt;
    value |= uint64_t{encoded[0] & 0x7Fu} << shift;
    if (shift == 63 && encoded[0] > 1) return std::nullopt;  // past 64 bits
    if (encoded[0] < 0x80) {
      if (bytes < 8 && value >> (8 * bytes) != 0) return std::nullopt;
      return value;
    }
  }
  return std::nullopt;
}

bool WriteNumber(PackageOut& out, uint64_t value, int bytes) {
  uint8_t encoded[kMaxVarintBytes];
  if (out.framing && out.framing->compact) {
    return WriteToPackage(out, encoded, PutVarint(encoded, value));
  }
  PutLittleEndian(encoded, value, bytes);
  return WriteToPackage(out, encoded, static_cast<size_t>(bytes));
}

bool WriteSolidHead(PackageOut& out, const std::vector<SolidMember>& members, uint8_t props,
                    uint32_t dictionary, uint32_t packed, uint32_t preset) {
  bool written = WriteToPackage(out, preset > 0 ? kSolidAfterTag : kSolidTag, 4) &&
                 WriteNumber(out, members.size(), 4);
  for (const SolidMember& member : members) {
    written = written && WriteRecordName(out, member.name) && WriteEntryTimes(out, member.times) &&
              WriteNumber(out, member.size, 8) && WriteToPackage(out, member.hash, 32) &&
              WriteNumber(out, member.filter, 1) &&
              ((member.filter != kSplitBranchFilter && member.filter != kDeflatedFilter) ||
               WriteNumber(out, member.coded, 8)) &&
              (member.filter != kSampleFilter || WriteNumber(out, member.samples, 1)) &&
              (member.filter != kDeflatedFilter ||
               (WriteNumber(out, member.map.size(), 4) &&
                WriteToPackage(out, member.map.data(), member.map.size())));
  }
  return written && WriteNumber(out, props, 1) && WriteNumber(out, dictionary, 4) &&
         (preset == 0 || WriteNumber(out, preset, 4)) && WriteNumber(out, packed, 4);
}

std::optional<EntryTimes> ReadEntryTimes(platform::File& package, Framing& framing) {
  std::optional<uint64_t> read[3];
  for (std::optional<uint64_t>& time : read) {
    time = ReadNumber(package, 8, &framing);
    if (!time) return std::nullopt;
  }
  if (!framing.compact) return EntryTimes{*read[0], *read[1], *read[2]};
  framing.times.creation += Unzigzag(*read[0]);
  framing.times.last_access += Unzigzag(*read[1]);
  framing.times.last_write += Unzigzag(*read[2]);
  return framing.times;
}

bool FramedCompactly(platform::File& package, int64_t payload_end) {
  int64_t at = package.Tell();
  uint8_t length[4], tag[4];
  bool compact =
      ReadAt(package, payload_end + 4, length, 4) &&
      ReadAt(package, payload_end - static_cast<int64_t>(GetLittleEndian(length, 4)), tag, 4) &&
      std::memcmp(tag, kCompactCheckTag, 4) == 0;
  return package.Seek(at, SEEK_SET).ok() && compact;
}

RecordTag ReadRecordTag(platform::File& package) {
  char tag[4];
  if (!ReadExactly(package, tag, sizeof tag)) return RecordTag::kInvalid;
  for (const RecordTagRow& row : kRecordTags) {
    if (std::memcmp(tag, row.bytes, 4) == 0) return row.tag;
  }
  return RecordTag::kInvalid;
}

std::optional<WString> PeekVersionLabel(platform::File& package, int64_t payload_end) {
  int64_t start = package.Tell();
  std::optional<WString> label;
  Framing framing;
  framing.compact = FramedCompactly(package, payload_end);
  if (ReadRecordTag(package) == RecordTag::kLabel) label = ReadEntryName(package, &framing);
  // One that is not text is never shown: the install refuses the package.
  if (label && !IsAcceptableLabel(*label)) label.reset();
  if (!package.Seek(start, SEEK_SET)) return std::nullopt;
  return label;
}

RecordTag ReadNextTag(platform::File& package, int64_t payload_end) {
  RecordTag tag = ReadRecordTag(package);
  if (tag == RecordTag::kEnd && package.Tell() != payload_end + 4) return RecordTag::kInvalid;
  return tag;
}

ProgramKind ReadProgramKind(platform::File& file) {
  uint8_t head[64];
  if (!ReadAt(file, 0, head, sizeof head)) return ProgramKind::kUnknown;
  if (std::memcmp(head,
                  "\x7f"
                  "ELF",
                  4) == 0)
    return ProgramKind::kLinux;
  if (head[0] != 'M' || head[1] != 'Z') return ProgramKind::kUnknown;
  uint8_t header[24 + 70];  // signature, file header, optional header to its subsystem
  int64_t pe = static_cast<int64_t>(GetLittleEndian(head + 0x3C, 4));
  if (!ReadAt(file, pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0) {
    return ProgramKind::kUnknown;
  }
  uint64_t magic = GetLittleEndian(header + 24, 2);
  if (magic == 0x20B) return ProgramKind::kWindows64;
  if (magic != 0x10B) return ProgramKind::kUnknown;
  // IMAGE_SUBSYSTEM_WINDOWS_GUI is 2.
  return GetLittleEndian(header + 24 + 68, 2) == 2 ? ProgramKind::kWindows32Gui
                                                   : ProgramKind::kWindows32Console;
}

// Checks the payload from the stream's position (`start`) to `end` against
// its check record, where it starts with one, and the program image before
// it against the image check record that may follow; the stream is left at
// the first record.
LocateResult CheckedWhole(platform::File& package, int64_t start, int64_t end) {
  uint8_t check[kCheckRecordSize];
  if (end - start < kCheckRecordSize || !ReadExactly(package, check, sizeof check) ||
      (std::memcmp(check, kCheckTag, 4) != 0 && std::memcmp(check, kCompactCheckTag, 4) != 0)) {
    return package.Seek(start, SEEK_SET) ? LocateResult::kFound : LocateResult::kMismatch;
  }
  platform::Sha256 hash;
  uint8_t digest[32];
  if (!HashRange(package, start + kCheckRecordSize, end, hash) || !hash.Finish(digest) ||
      std::memcmp(digest, check + 4, 32) != 0) {
    return LocateResult::kMismatch;
  }
  // The records are sound: one that says the image is checked says so truly.
  int64_t first = start + kCheckRecordSize;
  if (end - first >= kCheckRecordSize && package.Seek(first, SEEK_SET) &&
      ReadExactly(package, check, sizeof check) && std::memcmp(check, kImageCheckTag, 4) == 0) {
    if (!HashProgramImage(package, start, digest) || std::memcmp(digest, check + 4, 32) != 0) {
      return LocateResult::kImageMismatch;
    }
    first += kCheckRecordSize;
  }
  return package.Seek(first, SEEK_SET) ? LocateResult::kFound : LocateResult::kMismatch;
}

bool HashProgramImage(platform::File& file, int64_t size, uint8_t digest[32]) {
  // Left out as Authenticode leaves them out: what signing the update
  // rewrites. (A table in a damaged header may overlap the others.)
  int64_t gaps[3][2] = {};
  std::optional<SigningFields> fields = PeSigningFields(file);
  if (fields) {
    gaps[0][0] = fields->checksum, gaps[0][1] = fields->checksum + 4;
    if (fields->directory != 0) gaps[1][0] = fields->directory, gaps[1][1] = fields->directory + 8;
  }
  if (std::optional<std::pair<int64_t, int64_t>> table = CertificateTable(file, fields)) {
    gaps[2][0] = table->first, gaps[2][1] = table->first + table->second;
  }
  platform::Sha256 hash;
  for (int64_t at = 0;;) {
    const int64_t* next = nullptr;  // the first gap that ends past `at`
    for (const int64_t* gap : gaps) {
      if (gap[1] > at && (!next || gap[0] < next[0])) next = gap;
    }
    if (!next) return HashRange(file, at, size, hash) && hash.Finish(digest);
    if (!HashRange(file, at, std::min(next[0], size), hash)) return false;
    at = std::max(at, next[1]);
  }
}

LocateResult LocatePayload(platform::File& package, int64_t* payload_end) {
  if (!package.Seek(0, SEEK_END)) return LocateResult::kNoPackage;
  int64_t size = package.Tell();
  if (size >= 0) size = PackageEnd(package, size);
  if (size < kTrailerSize || !package.Seek(size - kTrailerSize, SEEK_SET)) {
    return LocateResult::kNoPackage;
  }
  uint8_t trailer[8];
  if (!ReadExactly(package, trailer, sizeof trailer) || std::memcmp(trailer, kEndTag, 4) != 0) {
    // A copy that carries nothing is not one whose download was cut short.
    return NotTheImageAlone(package, size) ? LocateResult::kCut : LocateResult::kNoPackage;
  }
  uint64_t length = GetLittleEndian(trailer + 4, 4);
  if (payload_end) *payload_end = size - kTrailerSize;
  if (length > kMaxPayloadLength || static_cast<int64_t>(length) > size - kTrailerSize) {
    return LocateResult::kDamaged;
  }
  int64_t start = size - kTrailerSize - static_cast<int64_t>(length);
  if (!package.Seek(start, SEEK_SET)) return LocateResult::kDamaged;
  return CheckedWhole(package, start, size - kTrailerSize);
}

}  // namespace updater::package
