#include "package/content_stream.h"

#include <zlib.h>

#include <memory>

namespace {

// Ends a zlib stream on every path out of a pump.
class ZStreamGuard {
 public:
  ZStreamGuard(z_stream& stream, int (*end)(z_streamp)) : stream_(stream), end_(end) {}
  ~ZStreamGuard() { end_(&stream_); }
  ZStreamGuard(const ZStreamGuard&) = delete;
  ZStreamGuard& operator=(const ZStreamGuard&) = delete;

 private:
  z_stream& stream_;
  int (*end_)(z_streamp);
};

void TraceZlibMessage(const z_stream& stream) {
  if (stream.msg) platform::DebugOutputA(stream.msg);
}

}  // namespace

DeflateResult DeflateFileInto(PackageOut& out, platform::File& source) {
  z_stream zs{};
  if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) {
    TraceZlibMessage(zs);
    return DeflateResult::kPackageError;
  }
  ZStreamGuard guard(zs, deflateEnd);
  uint8_t in[kStreamBufferSize];
  uint8_t buffer[kStreamBufferSize];
  int flush = Z_NO_FLUSH;
  do {
    size_t got = source.Read(in, sizeof in);
    if (source.HasError()) return DeflateResult::kSourceError;
    out.source_bytes += static_cast<int64_t>(got);
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = in;
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = buffer;
      zs.avail_out = sizeof buffer;
      if (deflate(&zs, flush) == Z_STREAM_ERROR) return DeflateResult::kPackageError;
      size_t have = sizeof buffer - zs.avail_out;
      if (have > 0 && !WriteToPackage(out, buffer, have)) return DeflateResult::kPackageError;
    } while (zs.avail_out == 0);
  } while (flush != Z_FINISH);
  return DeflateResult::kOk;
}

bool InflateStream(platform::File& package, const ByteSink& sink) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    TraceZlibMessage(zs);
    return false;
  }
  ZStreamGuard guard(zs, inflateEnd);
  std::unique_ptr<uint8_t[]> buffers(new uint8_t[2 * kInflateBufferSize]);
  uint8_t* in = buffers.get();
  uint8_t* out = in + kInflateBufferSize;
  // Reads start small and grow: a small entry then gives back little of
  // what follows it, a large one is read in large blocks.
  size_t want = kStreamBufferSize;
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    size_t got = package.Read(in, want);
    if (got == 0) return false;  // the package ends inside the stream
    want = want * 2 > kInflateBufferSize ? kInflateBufferSize : want * 2;
    zs.next_in = in;
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = out;
      zs.avail_out = kInflateBufferSize;
      ret = inflate(&zs, Z_NO_FLUSH);
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) return false;
      size_t have = kInflateBufferSize - zs.avail_out;
      if (have > 0 && !sink(out, have)) return false;
    } while (zs.avail_out == 0 && ret != Z_STREAM_END);
  }
  // The last read may have taken the start of the next record: give it back.
  return zs.avail_in == 0 || package.Seek(-static_cast<int64_t>(zs.avail_in), SEEK_CUR);
}
