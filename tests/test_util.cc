#include "tests/test_util.h"

#include <algorithm>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  static int counter = 0;
  std::random_device rd;
  path_ = fs::temp_directory_path() /
          ("updater-test-" + std::to_string(rd()) + "-" + std::to_string(++counter));
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

WString ScratchDir::Wide(const std::string& name) const {
  return ToWide(name.empty() ? path_ : path_ / fs::u8path(name));
}

WString ToWide(const fs::path& path) {
  std::u16string out = path.u16string();
  std::replace(out.begin(), out.end(), u'/', u'\\');
  return out;
}

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes PatternBytes(size_t size, bool compressible, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) {
    out[i] =
        compressible ? static_cast<uint8_t>("tessaran data "[i % 14]) : static_cast<uint8_t>(rng());
  }
  return out;
}

platform::File OpenOrClosed(const WString& path, const char* mode) {
  return std::move(platform::OpenFile(path, mode)).value_or(platform::File());
}
