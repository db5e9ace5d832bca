#include "tool/delta_encoder.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <numeric>

#include "apply/installer.h"
#include "package/record_reader.h"
#include "platform/utf8.h"
#include "product/product.h"
#include "tests/test_util.h"
#include "tool/delta_record.h"
#include "tool/old_release.h"
#include "tool/suffix_array.h"

namespace fs = std::filesystem;
using namespace updater::tool;  // NOLINT

namespace {

constexpr EntryTimes kTimes{131000000001234567, 132000000007654321, 133000000000000001};

// `bytes` with `every`th byte from `from` on raised by one: code whose addresses moved.
Bytes Shifted(Bytes bytes, size_t from, size_t every) {
  for (size_t i = from; i < bytes.size(); i += every) ++bytes[i];
  return bytes;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(DeltaEncoderTest, SuffixArrayOrdersSuffixesAsANaiveSortDoes) {
  Bytes random = PatternBytes(3000, false, 7), binary = PatternBytes(700, false, 3);
  for (uint8_t& b : binary) b &= 1;
  const std::vector<Bytes> cases = {
      {},
      {'a'},
      {'b', 'a', 'n', 'a', 'n', 'a'},
      Bytes(300, 0),
      Bytes(257, 255),
      PatternBytes(500, true),
      binary,
      random,
      Joined({random, random}),
  };
  for (const Bytes& data : cases) {
    std::vector<int32_t> naive(data.size() + 1);
    std::iota(naive.begin(), naive.end(), 0);
    std::sort(naive.begin(), naive.end(), [&data](int32_t a, int32_t b) {
      return std::lexicographical_compare(data.begin() + a, data.end(), data.begin() + b,
                                          data.end());
    });
    EXPECT_EQ(SuffixArray(data.data(), data.size()), naive) << data.size() << " bytes";
  }
}

class DeltaRecordTest : public ::testing::Test {
 protected:
  // Installs `record` (with a trailer) into a game folder holding `old` as
  // a.bin; the failure, and a.bin afterwards in `result`.
  Failure Apply(const std::vector<uint8_t>& record, const Bytes& old, Bytes& result) {
    fs::remove_all(dir_.path() / "game");
    fs::create_directories(dir_.path() / "game");
    WriteAll(dir_.path() / "game" / "a.bin", old);
    platform::File file = OpenOrClosed(dir_.Wide("update.bin"), "wb");
    package::PackageOut out{&file, 0};
    EXPECT_TRUE(package::WriteToPackage(out, record.data(), record.size()));
    EXPECT_TRUE(package::WritePackageTrailer(out, static_cast<uint32_t>(record.size())));
    EXPECT_TRUE(file.Close());
    platform::File package;
    int64_t payload_end = 0;
    Failure failure = package::OpenPackage(dir_.Wide("update.bin"), package, payload_end);
    if (!failure.failed()) {
      failure =
          apply::InstallPackage(package, payload_end, dir_.Wide("game"), product::kInstallLock);
    }
    result = ReadAll(dir_.path() / "game" / "a.bin");
    return failure;
  }

  ScratchDir dir_;
};

// Every way the encoder finds a delta gives one that the updater applies to
// the very new file, small where the files have much in common: the walk,
// the block matcher where the old file is past the sorting limit, and the
// walk's own output followed by blocks where the walk runs out of work.
TEST_F(DeltaRecordTest, EveryMatcherGivesADeltaTheUpdaterApplies) {
  Bytes code = PatternBytes(120000, false, 11), other = PatternBytes(90000, false, 12);
  Bytes text = PatternBytes(100000, true);
  EncodeLimits sorted_up_to_1k;
  sorted_up_to_1k.largest_sorted = 1000;
  EncodeLimits little_work;  // enough for about half of the file below
  little_work.work_per_byte = 0;
  little_work.base_work = 80000;
  struct Case {
    const char* what;
    Bytes old_bytes, new_bytes;
    EncodeLimits limits;
    DeltaMethod method;
    size_t at_most;  // bytes of the record
  };
  const Bytes edited = Joined(
      {Slice(code, 0, 50000), PatternBytes(300, false, 13), Slice(code, 50100, code.size())});
  const Bytes moved =
      Joined({Slice(code, 60000, code.size()), Shifted(Slice(code, 0, 60000), 0, 40)});
  Bytes shifted_first;  // moved pieces of code whose addresses moved, then plain code
  for (size_t at : {50000, 20000, 40000, 0, 30000, 10000}) {
    shifted_first = Joined({shifted_first, Shifted(Slice(code, at, at + 10000), 0, 40)});
  }
  shifted_first = Joined({shifted_first, Slice(code, 60000, code.size())});
  // Shaped like a program image: code that grew by 8 bytes, zero padding that
  // takes the shift up again, then a long run of zeros with a byte every
  // 256 KiB that both files share. The old alignment disagrees with the new
  // match at a few bytes of each MiB: the walk must pass over it, not search
  // again at every byte of it.
  Bytes sparse(2 << 20, 0);
  for (size_t at = 0; at < sparse.size(); at += 256 << 10) sparse[at] = 0x5A;
  const Bytes image_old = Joined({code, Bytes(2 << 20, 0), sparse});
  const Bytes image_new = Joined({Slice(code, 0, 1000), Bytes(8, 0x77),
                                  Slice(code, 1000, code.size()), Bytes((2 << 20) - 8, 0), sparse});
  const std::vector<Case> cases = {
      {"an image, padding taking up a shift", image_old, image_new, {}, DeltaMethod::kWalk, 2000},
      {"an edit", code, edited, {}, DeltaMethod::kWalk, 1500},
      {"moved code", code, moved, {}, DeltaMethod::kWalk, 6000},
      {"text grown", text, Joined({text, Slice(text, 0, 5000)}), {}, DeltaMethod::kWalk, 1000},
      {"nothing shared", code, other, {}, DeltaMethod::kWalk, 91000},
      {"past the sorting limit", code, edited, sorted_up_to_1k, DeltaMethod::kBlocks, 1500},
      {"all by blocks", code, shifted_first, sorted_up_to_1k, DeltaMethod::kBlocks, 50000},
      // What the walk made before it ran out of work stays: far smaller than blocks alone.
      {"out of work half way", code, shifted_first, little_work, DeltaMethod::kWalkThenBlocks,
       30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeltaMethod method{};
    ASSERT_TRUE(EncodeDelta(c.old_bytes.data(), c.old_bytes.size(), c.new_bytes.data(),
                            c.new_bytes.size(), c.limits, &method));
    EXPECT_EQ(method, c.method);
    WriteAll(dir_.path() / "old.bin", c.old_bytes);
    WriteAll(dir_.path() / "new.bin", c.new_bytes);
    std::vector<uint8_t> record;
    ASSERT_FALSE(DeltaRecord(u".\\a.bin", dir_.Wide("new.bin"), u".\\a.bin", dir_.Wide("old.bin"),
                             kTimes, record, c.limits)
                     .failed());
    EXPECT_LE(record.size(), c.at_most);
    Bytes result;
    EXPECT_FALSE(Apply(record, c.old_bytes, result).failed());
    EXPECT_TRUE(result == c.new_bytes);
  }
}

// A record job whose file cannot be read fails the build with that file and
// the system's error, not as an output that could not be written.
TEST_F(DeltaRecordTest, AJobThatCannotReadItsFileNamesItAndTheSystemError) {
  WriteAll(dir_.path() / "old.bin", Bytes(100, 'o'));
  std::vector<uint8_t> record;
  std::unique_ptr<package::RecordJob> job =
      DeltaRecordJob(u".\\a.bin", dir_.Wide("gone.bin"), u".\\a.bin", dir_.Wide("old.bin"), kTimes);
  EXPECT_FALSE(job->Make(record));
  Failure failure = job->failure;
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
  EXPECT_EQ(failure.path, dir_.Wide("gone.bin"));
  EXPECT_TRUE(platform::IsMissing(failure.os_error));
#ifndef _WIN32
  // An old file turned into a FIFO after the tree was listed holds nothing up.
  WriteAll(dir_.path() / "new.bin", Bytes(100, 'n'));
  ASSERT_EQ(mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  failure = DeltaRecord(u".\\a.bin", dir_.Wide("new.bin"), u".\\a.bin", dir_.Wide("fifo"), kTimes,
                        record);
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
#endif
  // Through the build: the deflater keeps the job's failure for the builder.
  fs::create_directories(dir_.path() / "src");
  WriteAll(dir_.path() / "src" / "a.bin", Bytes(100, 'n'));
  pack::BuildOptions options;
  options.trace = false;
  options.make_record = [&](package::ParallelDeflater& deflater, const WString& name,
                            const WString& path, const EntryTimes& times) {
    return std::optional<bool>(deflater.AddMade(
        DeltaRecordJob(name, path + u".gone", name, dir_.Wide("old.bin"), times), 100));
  };
  failure = pack::AppendPackageToFile(dir_.Wide("out.bin"), dir_.Wide("src"), options);
  EXPECT_EQ(failure.cause, Cause::kSourceUnreadable);
  EXPECT_EQ(failure.path, dir_.Wide("src\\a.bin.gone"));
  EXPECT_TRUE(platform::IsMissing(failure.os_error));
}

// The old file a new one is patched from: the same path, else the same
// bytes anywhere, else a file the new release lacks with the same name or a
// like name and a size within a factor of two, else the file of its
// extension that holds most of its bytes among those the update replaces
// or removes; else none.
TEST_F(DeltaRecordTest, OldFileChoiceFollowsPathBytesNameAndContent) {
  const Bytes moved = PatternBytes(5000, false, 21);
  auto random = [](uint32_t seed) { return PatternBytes(20000, false, seed); };
  auto join = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
  auto edited = [](Bytes a) { return a[100] ^= 1, a[15000] ^= 1, a; };
  const Bytes kept = random(33), renamed = random(34);
  struct File {
    const char* name;
    Bytes bytes;
  };
  const std::vector<File> old_files = {
      {"same\\a.dat", Bytes(1000, 'a')},
      {"data\\moved.pak", moved},
      {"old\\leaf.bin", Bytes(3000, 'l')},
      {"lib\\engine_v1.dll", Bytes(4000, 'e')},
      {"keep\\other.txt", Bytes(2000, 'o')},
      {"src\\tool.o", join(random(31), random(32))},
      {"src\\kept.o", kept},
      {"src\\old_name.o", renamed},
  };
  // Besides the cases: one file as it was, one changed, one the same.
  const std::vector<File> also_new = {{"keep\\other.txt", Bytes(2000, 'o')},
                                      {"src\\tool.o", edited(random(31))},
                                      {"src\\kept.o", kept}};
  struct Case {
    const char* name;
    Bytes bytes;
    const char* expected;  // the old file's name, or null for none
  };
  const std::vector<Case> cases = {
      {"same\\a.dat", Bytes(1200, 'b'), "same\\a.dat"},
      {"new\\place.pak", moved, "data\\moved.pak"},
      {"new\\leaf.bin", Bytes(3100, 'm'), "old\\leaf.bin"},
      {"lib\\engine_v2.dll", Bytes(4100, 'f'), "lib\\engine_v1.dll"},
      {"x\\unrelated.txt", Bytes(2000, 'u'), nullptr},
      {"y\\leaf.bin", Bytes(10000, 'm'), nullptr},
      {"src\\split.o", join(random(32), random(35)), "src\\tool.o"},  // changed: read anyway
      {"src\\renamed.o", edited(renamed), "src\\old_name.o"},         // removed: read anyway
      {"src\\copy.o", edited(kept), nullptr},  // unchanged: patching would make it needed
      {"src\\fresh.o", random(36), nullptr},
  };
  auto tree = [&](const char* prefix, const std::vector<File>& named) {
    std::vector<pack::TreeFile> files;
    for (const File& f : named) {
      std::string path = prefix + std::to_string(files.size());
      WriteAll(dir_.path() / path, f.bytes);
      files.push_back({u".\\" + platform::FromUtf8Escaped(f.name), dir_.Wide(path),
                       static_cast<int64_t>(f.bytes.size())});
    }
    return files;
  };
  std::vector<File> new_files = also_new;
  for (const Case& c : cases) new_files.push_back({c.name, c.bytes});
  std::vector<pack::TreeFile> news = tree("new-", new_files);
  OldRelease release(tree("old-", old_files), news);
  for (size_t i = 0; i < cases.size(); ++i) {
    const pack::TreeFile& f = news[also_new.size() + i];
    const pack::TreeFile* from = release.SourceFor(f.name, f.path, f.size);
    WString expected =
        cases[i].expected ? u".\\" + platform::FromUtf8Escaped(cases[i].expected) : WString();
    EXPECT_EQ(from ? from->name : WString(), expected) << cases[i].name;
  }
}

}  // namespace
