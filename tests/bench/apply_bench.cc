// Times the check pass against the write pass on one package:
//   apply_bench PACKAGE GAME_DIR
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "apply/entry_reader.h"
#include "apply/package_check.h"
#include "entry/process_state.h"
#include "package/format.h"
#include "platform/utf8.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

WString Wide(const char* path) {
  WString out = platform::FromUtf8Lossy(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: apply_bench PACKAGE GAME_DIR\n");
    return 2;
  }
  platform::File package = platform::OpenFile(Wide(argv[1]), "rb");
  int64_t payload_end = 0;
  if (LocatePayload(package, &payload_end) != LocateResult::kFound) return 1;
  int64_t start = package.Tell();
  WString root = Wide(argv[2]);

  auto t0 = std::chrono::steady_clock::now();
  bool checked = CheckPackage(package, payload_end, root);
  double check_s = Seconds(t0);

  g_installRoot = root;
  auto t1 = std::chrono::steady_clock::now();
  ReadResult r = ReadResult::kContinue;
  int entries = 0;
  while ((r = ReadEntry(package, payload_end)) == ReadResult::kContinue) ++entries;
  double write_s = Seconds(t1);

  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("payload %.1f MB, %d entries, check %s, write %s\n",
              static_cast<double>(payload_end - start) / 1e6, entries, checked ? "ok" : "FAILED",
              r == ReadResult::kEnd ? "ok" : "FAILED");
  std::printf("check pass  %.3f s\nwrite pass  %.3f s\nratio check/write  %.2f\n", check_s, write_s,
              check_s / write_s);
  std::printf("peak RSS  %ld KiB\n", usage.ru_maxrss);
  return checked && r == ReadResult::kEnd ? 0 : 1;
}
