// A plain extractor, for the benchmark only: it reads an update's package
// whole into memory and inflates every "file" record into DIR, with no
// checks of names, folders, links or anything else, no staging and no sync.
// Built with the same compiler as the updater, it is what the updater's own
// costs are measured against: plain_extract UPDATE DIR
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#ifdef _WIN32
#include <direct.h>
#define MakeDir(path) _wmkdir(path)
using Path = std::wstring;
#else
#include <sys/stat.h>
#define MakeDir(path) mkdir(path, 0755)
using Path = std::string;
#endif

namespace {

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

std::FILE* Create(const Path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"wb");
#else
  return std::fopen(path.c_str(), "wb");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  std::vector<uint8_t> data;
  uint8_t chunk[1 << 16];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
    data.insert(data.end(), chunk, chunk + got);
  }
  std::fclose(in);
  if (data.size() < 8 || std::memcmp(&data[data.size() - 8], "feof", 4) != 0) return 1;
  size_t at = data.size() - 8 - Le(&data[data.size() - 4], 4);
  std::string root = argv[2];
  std::vector<uint8_t> out(1 << 18);
  int files = 0;
  while (std::memcmp(&data[at], "feof", 4) != 0) {
    if (std::memcmp(&data[at], "file", 4) != 0) return 1;  // whole files only
    size_t units = Le(&data[at + 4], 2);
    Path path(root.begin(), root.end());
    path += '/';
    for (size_t i = 0; i < units; ++i) {
      auto c = static_cast<Path::value_type>(Le(&data[at + 6 + 2 * i], 2));
      if (c == '\\') {
        MakeDir(path.c_str());  // each folder on the way, made or there
        c = '/';
      }
      path += c;
    }
    at += 6 + 2 * units + 24;  // the times are not set
    std::FILE* file = Create(path);
    if (!file) return 1;
    z_stream zs{};
    inflateInit(&zs);
    zs.next_in = &data[at];
    zs.avail_in = static_cast<uInt>(data.size() - at);
    int result = Z_OK;
    while (result == Z_OK) {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      result = inflate(&zs, Z_NO_FLUSH);
      std::fwrite(out.data(), 1, out.size() - zs.avail_out, file);
    }
    at += zs.total_in;
    inflateEnd(&zs);
    std::fclose(file);
    if (result != Z_STREAM_END) return 1;
    ++files;
  }
  std::printf("%d files\n", files);
  return 0;
}
