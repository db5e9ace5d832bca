#include "package/format.h"

#include <cstring>
#include <vector>

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

}  // namespace

bool WriteToPackage(PackageOut& out, const void* data, size_t size) {
  if (out.too_large || out.write_failed) return false;
  if (out.size + static_cast<int64_t>(size) > kMaxPackageFileSize) {
    out.too_large = true;
    return false;
  }
  if (!out.file->Write(data, size)) {
    out.write_failed = true;
    return false;
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

bool WriteEntryHeader(PackageOut& out, const WString& name, const EntryTimes& times) {
  uint8_t encoded[24];
  PutLe(encoded, times.creation, 8);
  PutLe(encoded + 8, times.last_access, 8);
  PutLe(encoded + 16, times.last_write, 8);
  return WriteToPackage(out, kFileTag, sizeof kFileTag) && WriteEntryName(out, name) &&
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
  if (std::memcmp(tag, kEndTag, 4) == 0) return RecordTag::kEnd;
  return RecordTag::kInvalid;
}

LocateResult LocatePayload(platform::File& package, int64_t* payload_end) {
  if (!package.Seek(0, SEEK_END)) return LocateResult::kNoPackage;
  int64_t size = package.Tell();
  if (size < kTrailerSize || !package.Seek(size - kTrailerSize, SEEK_SET)) {
    return LocateResult::kNoPackage;
  }
  uint8_t trailer[8];
  if (!ReadExactly(package, trailer, sizeof trailer) || std::memcmp(trailer, kEndTag, 4) != 0) {
    return LocateResult::kNoPackage;
  }
  uint64_t length = GetLe(trailer + 4, 4);
  if (length > kMaxPayloadLength || static_cast<int64_t>(length) > size - kTrailerSize) {
    return LocateResult::kDamaged;
  }
  int64_t start = size - kTrailerSize - static_cast<int64_t>(length);
  if (!package.Seek(start, SEEK_SET)) return LocateResult::kDamaged;
  if (payload_end) *payload_end = size - kTrailerSize;
  return LocateResult::kFound;
}
