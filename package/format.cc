#include "package/format.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace updater::package {

namespace {

void PutLe(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

bool ReadExactly(platform::File& package, void* buffer, size_t size) {
  return package.Read(buffer, size) == size;
}

bool ReadAt(platform::File& file, int64_t offset, void* buffer, size_t size) {
  return offset >= 0 && file.Seek(offset, SEEK_SET).ok() && ReadExactly(file, buffer, size);
}

// Where the certificate table of a signed PE image starts, when the image
// has one that ends exactly at the end of the file (`size` bytes).
std::optional<int64_t> CertificateTableStart(platform::File& file, int64_t size) {
  uint8_t dos[64];
  if (!ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
  int64_t pe = static_cast<int64_t>(GetLe(dos + 0x3C, 4));
  uint8_t header[24 + 112];  // signature, file header, optional header up to its directories
  if (!ReadAt(file, pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0) {
    return std::nullopt;
  }
  const uint8_t* optional = header + 24;
  uint64_t magic = GetLe(optional, 2);
  if (magic != 0x10B && magic != 0x20B) return std::nullopt;
  int64_t directories = magic == 0x10B ? 96 : 112;  // PE32, PE32+
  if (GetLe(optional + directories - 4, 4) <= kCertificateDirectory) return std::nullopt;
  uint8_t entry[8];
  if (!ReadAt(file, pe + 24 + directories + 8 * kCertificateDirectory, entry, sizeof entry)) {
    return std::nullopt;
  }
  int64_t start = static_cast<int64_t>(GetLe(entry, 4));
  int64_t length = static_cast<int64_t>(GetLe(entry + 4, 4));
  if (length == 0 || start + length != size) return std::nullopt;
  return start;
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
  uint8_t count[2];
  PutLe(count, name.size(), 2);
  if (!WriteToPackage(out, count, sizeof count)) return false;
  std::vector<uint8_t> units(name.size() * 2);
  for (size_t i = 0; i < name.size(); ++i) PutLe(&units[2 * i], name[i], 2);
  return WriteToPackage(out, units.data(), units.size());
}

bool WriteEntryHeader(PackageOut& out, const WString& name, const EntryTimes& times,
                      const char* tag) {
  uint8_t encoded[24];
  PutLe(encoded, times.creation, 8);
  PutLe(encoded + 8, times.last_access, 8);
  PutLe(encoded + 16, times.last_write, 8);
  return WriteToPackage(out, tag, 4) && WriteEntryName(out, name) &&
         WriteToPackage(out, encoded, sizeof encoded);
}

bool WritePackageTrailer(PackageOut& out, uint32_t payload_length) {
  uint8_t length[4];
  PutLe(length, payload_length, 4);
  return WriteToPackage(out, kEndTag, sizeof kEndTag) && WriteToPackage(out, length, sizeof length);
}

std::optional<WString> ReadEntryName(platform::File& package) {
  uint8_t count[2];
  if (!ReadExactly(package, count, sizeof count)) return std::nullopt;
  size_t units = GetLe(count, 2);
  std::vector<uint8_t> raw(units * 2);
  if (!ReadExactly(package, raw.data(), raw.size())) return std::nullopt;
  WString name;
  for (size_t i = 0; i < units; ++i) {
    auto unit = static_cast<char16_t>(GetLe(&raw[2 * i], 2));
    if (unit != 0) name += unit;
  }
  return name;
}

std::optional<EntryTimes> ReadEntryTimes(platform::File& package) {
  uint8_t encoded[24];
  if (!ReadExactly(package, encoded, sizeof encoded)) return std::nullopt;
  return EntryTimes{GetLe(encoded, 8), GetLe(encoded + 8, 8), GetLe(encoded + 16, 8)};
}

RecordTag ReadRecordTag(platform::File& package) {
  char tag[4];
  if (!ReadExactly(package, tag, sizeof tag)) return RecordTag::kInvalid;
  if (std::memcmp(tag, kFileTag, 4) == 0) return RecordTag::kFile;
  if (std::memcmp(tag, kDeltaTag, 4) == 0) return RecordTag::kDelta;
  if (std::memcmp(tag, kEndTag, 4) == 0) return RecordTag::kEnd;
  return RecordTag::kInvalid;
}

RecordTag ReadNextTag(platform::File& package, int64_t payload_end) {
  RecordTag tag = ReadRecordTag(package);
  if (tag == RecordTag::kEnd && package.Tell() != payload_end + 4) return RecordTag::kInvalid;
  return tag;
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
    return LocateResult::kNoPackage;
  }
  uint64_t length = GetLe(trailer + 4, 4);
  if (payload_end) *payload_end = size - kTrailerSize;
  if (length > kMaxPayloadLength || static_cast<int64_t>(length) > size - kTrailerSize) {
    return LocateResult::kDamaged;
  }
  int64_t start = size - kTrailerSize - static_cast<int64_t>(length);
  if (!package.Seek(start, SEEK_SET)) return LocateResult::kDamaged;
  return LocateResult::kFound;
}

}  // namespace updater::package
