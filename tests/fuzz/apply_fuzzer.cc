// Fuzzes the whole apply path: locating the payload, staging every entry
// (whole files, and deltas against the game folder's old.dat) and, for
// packages that pass, moving them into a scratch game folder.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "apply/installer.h"
#include "package/record_reader.h"

namespace fs = std::filesystem;

namespace {

using updater::WString;

const fs::path& Scratch() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("apply-fuzz-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

WString Wide(const fs::path& p) {
  std::u16string out = p.u16string();
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

void ApplyWhole(const WString& package_path, const WString& root) {
  updater::platform::File package;
  int64_t payload_end = 0;
  if (updater::package::OpenPackage(package_path, package, payload_end).failed()) return;
  (void)updater::apply::InstallPackage(package, payload_end, root, u"TessaranUpdate-fuzz");
}

// A package that starts with a check record is checked whole before any
// record is read: its check is made right again, so that what the fuzzer
// changes reaches the records after it.
std::string WithCheckMended(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (size < 8 + 36 || bytes.compare(size - 8, 4, "feof") != 0) return bytes;
  uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | data[size - 4 + i];
  if (length < 36 || length > size - 8) return bytes;
  size_t start = size - 8 - length;
  if (bytes.compare(start, 4, "chek") != 0 && bytes.compare(start, 4, "chkc") != 0) return bytes;
  updater::platform::Sha256 hash;
  hash.Update(data + start + 36, length - 36);
  uint8_t digest[32];
  if (hash.Finish(digest)) bytes.replace(start + 4, 32, reinterpret_cast<char*>(digest), 32);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fs::path package = Scratch() / "package.bin";
  fs::path game = Scratch() / "game";
  {
    std::ofstream out(package, std::ios::binary | std::ios::trunc);
    std::string bytes = WithCheckMended(data, size);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::create_directories(game);
  {
    // The file the seed corpus's delta records patch.
    std::ofstream old(game / "old.dat", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 10000; ++i) old.put(static_cast<char>('0' + i % 10));
  }
  // And the file the "references-moved" seed patches, predicting where its
  // references moved: every 32 bytes a call, a jump, a conditional jump, a
  // RIP-relative load (targets across the file) and a pointer past 64 KiB.
  const uint32_t length = 81920;
  std::string code(length, '\x90');
  auto put = [&code](uint32_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) code[at + i] = static_cast<char>(value >> 8 * i);
  };
  for (uint32_t at = 0; at < length; at += 32) {
    code.replace(at, 1, "\xE8").replace(at + 5, 1, "\xE9").replace(at + 10, 2, "\x0F\x85");
    code.replace(at + 16, 2, "\x8B\x05");
    put(at + 1, (at * 7 + 1000) % length - (at + 5), 4);
    put(at + 6, (at * 13 + 500) % length - (at + 10), 4);
    put(at + 12, (at * 5 + 300) % length - (at + 16), 4);
    put(at + 18, (at * 11 + 77) % length - (at + 22), 4);
    put(at + 24, 65536 + at * 3 % (length - 65536), 8);
  }
  std::ofstream(game / "code.dat", std::ios::binary | std::ios::trunc) << code;
  ApplyWhole(Wide(package), Wide(game));
  fs::remove_all(game);
  return 0;
}
