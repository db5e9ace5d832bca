// Helpers shared by the unit tests: a scratch folder and byte-level file access.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

// The tests name the library's parts unqualified.
namespace updater::package {}
namespace updater::pack {}
namespace updater::apply {}
using namespace updater;           // NOLINT
using namespace updater::package;  // NOLINT
using namespace updater::pack;     // NOLINT
using namespace updater::apply;    // NOLINT

using Bytes = std::vector<uint8_t>;

// A fresh folder below the system temp folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }
  // The UTF-16 "\"-separated form the updater's code takes, of `name` inside this folder.
  WString Wide(const std::string& name = "") const;

 private:
  std::filesystem::path path_;
};

WString ToWide(const std::filesystem::path& path);
// The file at `path` opened with `mode`; a closed File when it cannot be.
platform::File OpenOrClosed(const WString& path, const char* mode);
Bytes ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, const Bytes& bytes);
Bytes PatternBytes(size_t size, bool compressible, uint32_t seed = 1);
Bytes Joined(std::initializer_list<Bytes> parts);
