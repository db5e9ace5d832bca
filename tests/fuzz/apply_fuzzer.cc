// Fuzzes the whole apply path: locating the payload, staging every entry
// (whole files, and deltas against the game folder's old.dat) and, for
// packages that pass, moving them into a scratch game folder.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fs::path package = Scratch() / "package.bin";
  fs::path game = Scratch() / "game";
  {
    std::ofstream out(package, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  fs::create_directories(game);
  {
    // The file the seed corpus's delta records patch.
    std::ofstream old(game / "old.dat", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 10000; ++i) old.put(static_cast<char>('0' + i % 10));
  }
  ApplyWhole(Wide(package), Wide(game));
  fs::remove_all(game);
  return 0;
}
