#include "apply/installer.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "apply/decision.h"
#include "apply/forecast.h"
#include "apply/journal.h"
#include "apply/record_stager.h"
#include "apply/staged_sync.h"
#include "apply/staging.h"
#include "entry/product_texts.h"
#include "package/delta.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "package/parallel_deflate.h"
#include "package/record_reader.h"
#include "platform/fault_seam.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>

#include <cstdlib>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The staging of `root`, planned; null where it cannot be.
std::unique_ptr<Staging> Planned(const WString& root) {
  auto staging = std::make_unique<Staging>();
  return PlanStaging(root, *staging) ? std::move(staging) : nullptr;
}

Failure InstallFrom(const WString& package_path, const WString& root,
                    InstallReport* report = nullptr) {
  platform::File file;
  int64_t payload_end = 0;
  Failure failure = OpenPackage(package_path, file, payload_end);
  return failure.failed() ? failure
                          : InstallPackage(file, payload_end, root,
                                           entry::kProductTexts.install_lock, nullptr, report);
}

bool Recover(const WString& root) {
  std::unique_ptr<Staging> staging = Planned(root);
  return staging && !RecoverInterruptedInstall(*staging).failed();
}

#ifdef _WIN32
// Windows has no fork: the kill table starts this program again with
// UPDATER_TEST_KILL set to "N|package|root", and the copy installs until the
// fault seam ends it at operation N.
[[maybe_unused]] const bool kRunAsKilledChild = [] {
  const wchar_t* request = _wgetenv(L"UPDATER_TEST_KILL");
  if (!request || !*request) return false;
  std::u16string s(reinterpret_cast<const char16_t*>(request));
  size_t a = s.find(u'|'), b = s.find(u'|', a + 1);
  platform::SetFaultForTesting(_wtoi(request), platform::FaultAction::kKill);
  std::exit(InstallFrom(s.substr(a + 1, b - a - 1), s.substr(b + 1)).failed() ? 1 : 0);
}();

// Installs in another process, killed at operation `n` (0: never); its exit
// code: 137 when killed, 0 when installed, 1 when the install failed.
int InstallInChild(int n, const WString& package_path, const WString& root) {
  std::wstring number = std::to_wstring(n);
  WString request = WString(number.begin(), number.end()) + u"|" + package_path + u"|" + root;
  _wputenv((L"UPDATER_TEST_KILL=" + std::wstring(request.begin(), request.end())).c_str());
  WString self = platform::OwnExecutablePath().value_or(WString());
  intptr_t code =
      _wspawnl(_P_WAIT, reinterpret_cast<const wchar_t*>(self.c_str()), L"child", nullptr);
  _wputenv(L"UPDATER_TEST_KILL=");
  return static_cast<int>(code);
}
#else
int InstallInChild(int n, const WString& package_path, const WString& root) {
  pid_t child = fork();
  if (child == 0) {
    platform::SetFaultForTesting(n, platform::FaultAction::kKill);
    _exit(InstallFrom(package_path, root).failed() ? 1 : 0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  return WIFSIGNALED(status) ? 137 : WEXITSTATUS(status);
}
#endif

struct TestEntry {
  WString name;
  Bytes content;
  bool removal = false;  // the update removes the file (whatever `content` is)
};

constexpr EntryTimes kTimes{131000000001234567, 132000000007654321, 133000000000000001};

// A package of `entries` as build mode writes it.
Bytes MakePackage(const ScratchDir& dir, const std::vector<TestEntry>& entries) {
  platform::File file = OpenOrClosed(dir.Wide("package.bin"), "wb");
  PackageOut out{&file, 0};
  ParallelDeflater deflater(out, 1);  // one thread: each record is written as it is added
  for (const TestEntry& e : entries) {
    if (e.removal) {  // of the very file the game holds, which alone it removes
      uint8_t hash[32];
      platform::Sha256 sha;
      sha.Update(e.content.data(), e.content.size());
      EXPECT_TRUE(sha.Finish(hash));
      EXPECT_TRUE(WriteRemovalRecord(out, e.name, e.content.size(), hash));
      continue;
    }
    WriteAll(dir.path() / "content", e.content);
    platform::File source = OpenOrClosed(dir.Wide("content"), "rb");
    EXPECT_EQ(deflater.AddRecord(e.name, kTimes, source), DeflateResult::kOk);
  }
  EXPECT_TRUE(deflater.Finish());
  EXPECT_TRUE(WritePackageTrailer(out, static_cast<uint32_t>(out.size)));
  EXPECT_TRUE(file.Close());
  return ReadAll(dir.path() / "package.bin");
}

Bytes Flipped(Bytes bytes, size_t at) {
  bytes[at] ^= 0xFF;
  return bytes;
}

// The path of an entry below the game folder, "/"-separated.
std::string Rel(const TestEntry& e) {
  std::string rel(e.name.begin() + 2, e.name.end());
  std::replace(rel.begin(), rel.end(), '\\', '/');
  return rel;
}

// Every file and folder below `root` with its bytes and last-write time.
using Snapshot = std::map<std::string, std::pair<Bytes, fs::file_time_type>>;

Snapshot TakeSnapshot(const fs::path& root) {
  Snapshot out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string rel = item.path().lexically_relative(root).generic_string();
    if (item.is_symlink()) {
      out[rel] = {Bytes(), fs::file_time_type()};
    } else if (item.is_regular_file()) {
      std::error_code far_future;  // a flipped time byte can install one
      out[rel] = {ReadAll(item.path()), fs::last_write_time(item.path(), far_future)};
    } else {
      out[rel] = {Bytes{'/'}, fs::file_time_type()};
    }
  }
  return out;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(game() / "sub");
    WriteAll(game() / "a.dat", Bytes(10, 'o'));
    WriteAll(game() / "sub" / "b.dat", Bytes(20, 'o'));
    fs::create_directories(game() / "gone" / "deeper");
    WriteAll(game() / "gone" / "deeper" / "x.dat", Bytes(10, 'o'));
    WriteAll(game() / "maps", Bytes(10, 'o'));             // a folder in the new release
    fs::create_directories(game() / "sounds" / "deeper");  // a file in the new release
    WriteAll(game() / "sounds" / "deeper" / "s.dat", Bytes(10, 'o'));
  }
  fs::path game() const { return dir_.path() / "game"; }
  WString root() const { return dir_.Wide("game"); }

  Failure InstallFile(const fs::path& path) { return InstallFrom(ToWide(path), root()); }

  // Installs `package`; a failure must leave the game folder as it was.
  Failure Install(const Bytes& package) {
    WriteAll(dir_.path() / "under-test.bin", package);
    Snapshot before = TakeSnapshot(game());
    Failure failure = InstallFile(dir_.path() / "under-test.bin");
    if (failure.failed()) {
      EXPECT_EQ(TakeSnapshot(game()), before);
    }
    EXPECT_FALSE(fs::exists(game() / ".update-staging"));
    return failure;
  }

  void ExpectInstalled(const std::vector<TestEntry>& entries) {
    for (const TestEntry& e : entries) {
      std::string rel = Rel(e);
      if (e.removal) {
        std::error_code below_a_file;
        EXPECT_FALSE(fs::exists(game() / rel, below_a_file)) << rel;
        continue;
      }
      // Times before bytes: reading moves the access time.
      platform::Result<platform::Folder> folder =
          platform::OpenFolder(ToWide((game() / rel).parent_path()));
      ASSERT_TRUE(folder) << rel;
      platform::Result<EntryTimes> times =
          platform::TimesIn(*folder, ToWide(fs::path(rel).filename()));
      ASSERT_TRUE(times) << rel;
      EXPECT_EQ(times->last_write, kTimes.last_write) << rel;
      EXPECT_EQ(times->last_access, kTimes.last_access) << rel;
      EXPECT_EQ(ReadAll(game() / rel), e.content) << rel;
    }
  }

  ScratchDir dir_;
};

// New files in nested folders, some replacing old ones, one empty; one
// removed, with the folders it leaves empty; a file that becomes a folder
// (moved aside, though no removal names it) and a folder that becomes a
// file, emptied by a removal.
const std::vector<TestEntry> kEntries = {
    {u".\\a.dat", Bytes(3000, 'a')},
    {u".\\sub\\b.dat", PatternBytes(2048, false)},
    {u".\\new\\deeper\\c.dat", PatternBytes(70000, true)},
    {u".\\new\\d.dat", {}},
    {u".\\gone\\deeper\\x.dat", Bytes(10, 'o'), true},
    {u".\\maps\\m1.dat", Bytes(5, 'm')},
    {u".\\sounds", Bytes(7, 's')},
    {u".\\sounds\\deeper\\s.dat", Bytes(10, 'o'), true},
};

// Under Wine each file operation is a round trip to the Wine server: the
// Windows run takes every seventh byte and every record end, the native one
// every byte.
#ifdef _WIN32
constexpr size_t kByteStep = 7;
#else
constexpr size_t kByteStep = 1;
#endif

TEST_F(InstallerTest, PackageCutOrFlippedAtEveryByte) {
  const std::vector<TestEntry> entries = {kEntries[0],
                                          {u".\\sub\\b.dat", PatternBytes(300, false)}};
  std::set<size_t> record_ends;
  for (size_t n = 0; n <= entries.size(); ++n) {
    std::vector<TestEntry> first(entries.begin(), entries.begin() + static_cast<long>(n));
    record_ends.insert(MakePackage(dir_, first).size() - 8);
  }
  Bytes whole = MakePackage(dir_, entries);
  for (size_t at = 0; at < whole.size(); at += kByteStep) (void)Install(Flipped(whole, at));
  size_t payload = whole.size() - 8;
  for (size_t cut = 0; cut < payload; ++cut) {
    if (cut % kByteStep != 0 && record_ends.count(cut) == 0) continue;
    Bytes cut_package(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes trailer = {'f', 'e', 'o', 'f', static_cast<uint8_t>(cut), static_cast<uint8_t>(cut >> 8),
                     0,   0};
    cut_package.insert(cut_package.end(), trailer.begin(), trailer.end());
    EXPECT_EQ(Install(cut_package).failed(), record_ends.count(cut) == 0) << "cut at " << cut;
  }
}

// Makes the files kEntries replace and remove read-only (the attribute on
// Windows), as an install copied from a disc leaves them, or writable again;
// or tells whether both are read-only.
bool OldFilesReadOnly(const fs::path& game, std::optional<bool> make = std::nullopt) {
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  bool read_only = true;
  for (const fs::path& file :
       {game / "sub" / "b.dat", game / "gone" / "deeper" / "x.dat", game / "maps"}) {
    std::error_code gone;  // the install removed it
    if (make) {
      fs::permissions(file, write, *make ? fs::perm_options::remove : fs::perm_options::add, gone);
    }
    read_only = read_only && (fs::status(file).permissions() & write) == fs::perms::none;
  }
  return read_only;
}

// Every write, flush, rename, folder creation and removal in turn fails once:
// each run either installs everything or leaves the folder as it was, and a
// failure carries the very error the failing call met. So does a full disk.
TEST_F(InstallerTest, AnyFailingOperationInstallsAllOrNothingAndNamesItsCause) {
  Bytes package = MakePackage(dir_, kEntries);
  // Past the install's last operation every run completes; read-only files
  // are replaced and removed, and read-only again where it fails.
  for (int n = 1, completed_in_a_row = 0; completed_in_a_row < 5; ++n) {
    OldFilesReadOnly(game(), true);
    SCOPED_TRACE(n);
    platform::SetFaultForTesting(n);
    Failure failure = Install(package);
    platform::SetFaultForTesting(0);
    completed_in_a_row = failure.failed() ? 0 : completed_in_a_row + 1;
    if (failure.failed()) {
      EXPECT_EQ(failure.os_error, platform::InjectedError()) << n;
      EXPECT_TRUE(OldFilesReadOnly(game())) << n;
    } else {
      ExpectInstalled(kEntries);
    }
    OldFilesReadOnly(game(), false);
    fs::remove_all(game());
    SetUp();
    ASSERT_LT(n, 500);
  }
  // New files get their folder's access, and nothing of staging's; replaced ones keep theirs.
  (void)platform::TakeInheritedForTesting();
  ASSERT_FALSE(Install(package).failed());
  EXPECT_EQ(platform::TakeInheritedForTesting(),
            (std::vector<std::u16string>{u"c.dat", u"d.dat", u"m1.dat", u"sounds"}));
  fs::remove_all(game());
  SetUp();
  platform::SetWriteBudgetForTesting(1000);
  Failure full = Install(package);
  platform::SetWriteBudgetForTesting(-1);
  EXPECT_EQ(full.cause, Cause::kWriteStaged);
  EXPECT_EQ(full.os_error, platform::DiskFullError());
#ifdef _WIN32
  // A file the game holds open without sharing: Windows' own word for it.
  int held = _wsopen(reinterpret_cast<const wchar_t*>(ToWide(game() / "a.dat").c_str()), _O_RDONLY,
                     _SH_DENYRW);
  ASSERT_GE(held, 0);
  Failure busy = Install(package);
  _close(held);
  EXPECT_EQ(busy.cause, Cause::kTargetBusy);
  EXPECT_EQ(busy.os_error, 32);  // ERROR_SHARING_VIOLATION
#endif
}

// A removal takes only the version it removes: whatever else is at its name
// (the player's edit, a link leading outside or nowhere, a folder) stays,
// the install goes on, and the report names it.
TEST_F(InstallerTest, RemovalTakesOnlyTheVersionItRemoves) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, {kEntries[4]}));
  fs::path removed = game() / "gone" / "deeper" / "x.dat", outside = dir_.path() / "x.dat";
  WriteAll(outside, Bytes(10, 'o'));  // the removed version's bytes, outside the game
  std::error_code no_links_under_wine;
  const std::vector<std::pair<const char*, void (*)(const fs::path&, const fs::path&)>> cases = {
      {"the version it removes", [](const fs::path&, const fs::path&) {}},
      {"an edited file", [](const fs::path& at, const fs::path&) { WriteAll(at, Bytes(10, 'e')); }},
      {"a folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }},
      {"a link outside",
       [](const fs::path& at, const fs::path& to) {
         std::error_code none;
         fs::create_symlink(to, at, none);
       }},
      {"a dangling link", [](const fs::path& at, const fs::path& to) {
         std::error_code none;
         fs::create_symlink(to.string() + ".none", at, none);
       }}};
  for (const auto& [what, plant] : cases) {
    fs::remove_all(game());
    SetUp();
    if (plant != cases[0].second) fs::remove(removed);
    plant(removed, outside);
    bool planted = fs::exists(fs::symlink_status(removed, no_links_under_wine));
    InstallReport report;
    ASSERT_FALSE(InstallFrom(dir_.Wide("package.bin"), root(), &report).failed()) << what;
    bool known = plant == cases[0].second;
    EXPECT_EQ(fs::exists(fs::symlink_status(removed, no_links_under_wine)), !known && planted)
        << what;
    EXPECT_EQ(report.removed, known ? 1 : 0) << what;
    EXPECT_EQ(report.kept, known || !planted ? std::vector<WString>()
                                             : std::vector<WString>{u".\\gone\\deeper\\x.dat"})
        << what;
    EXPECT_EQ(ReadAll(outside), Bytes(10, 'o')) << what;
  }
  // A removal of any of several versions ("rmvs") takes a file that is the second.
  fs::remove_all(game());
  SetUp();
  platform::File file = OpenOrClosed(dir_.Wide("any.bin"), "wb");
  PackageOut out{&file, 0};
  std::vector<Version> versions(2);
  for (size_t i = 0; i < 2; ++i) {
    Bytes bytes(10, i == 0 ? 'e' : 'o');
    platform::Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    ASSERT_TRUE(sha.Finish(versions[i].hash));
    versions[i].size = bytes.size();
    versions[i].releases = 1u << i;
  }
  ASSERT_TRUE(WriteRemoveAnyRecord(out, u".\\gone\\deeper\\x.dat", 0, versions));
  ASSERT_TRUE(WritePackageTrailer(out, static_cast<uint32_t>(out.size)));
  ASSERT_TRUE(file.Close());
  InstallReport report;
  ASSERT_FALSE(InstallFrom(dir_.Wide("any.bin"), root(), &report).failed());
  EXPECT_EQ(report.removed, 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(removed, no_links_under_wine)));
  // In a folder that a file replaces, what no removal takes (the player's
  // own file, another version of the one removed, a link) keeps the install
  // from happening, and the failure names it.
  const Bytes package = MakePackage(dir_, kEntries);
  for (const char* planted : {"own.txt", "deeper/s.dat", "lnk"}) {
    fs::remove_all(game());
    SetUp();
    fs::path at = game() / "sounds" / planted;
    if (planted[0] == 'l') fs::create_symlink(outside, at, no_links_under_wine);
    if (planted[0] != 'l') WriteAll(at, Bytes(3, 'p'));
    if (!fs::exists(fs::symlink_status(at, no_links_under_wine))) continue;
    Failure failure = Install(package);
    EXPECT_EQ(failure.cause, Cause::kKeptInReplacedFolder) << planted;
    EXPECT_EQ(failure.path, ToWide(game() / "sounds" / planted));
  }
}

// A second copy of the update, started while the first holds the game
// folder, fails and changes nothing.
TEST_F(InstallerTest, SecondCopyWhileTheLockIsHeldChangesNothing) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, kEntries));
  Snapshot before = TakeSnapshot(game());
  platform::Result<platform::Folder> held = platform::OpenFolder(root());
  ASSERT_TRUE(held);
  platform::Result<platform::FolderLock> lock =
      platform::LockFolder(*held, entry::kProductTexts.install_lock);
  ASSERT_TRUE(lock);
  EXPECT_EQ(InstallInChild(0, dir_.Wide("package.bin"), root()), 1);
  EXPECT_EQ(InstallFile(dir_.path() / "package.bin").cause, Cause::kLockHeld);
  EXPECT_EQ(TakeSnapshot(game()), before);
}

// Our own staging folder, but a journal whose entries lead through a link out
// of the game to the very file it placed, name a file the install never
// placed, name a folder, or keep an old file for a name that now holds
// another file than the one the install placed: each is left alone, and the
// install fails.
TEST_F(InstallerTest, RecoveryActsOnlyOnWhatTheInstallPlaced) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, kEntries));
  fs::create_directories(dir_.path() / "outside");
  std::error_code no_links_under_wine;  // the end-to-end table plants them there
  fs::create_directory_symlink(dir_.path() / "outside", game() / "lnk", no_links_under_wine);
  std::unique_ptr<Staging> journal = Planned(root());
  ASSERT_TRUE(journal && !CreateStagingFolder(*journal).failed());
  fs::path staging = game() / ".update-staging";
  for (const char16_t* name : {u".\\lnk\\n.dat", u".\\a.dat", u".\\sub"}) {
    WriteAll(staging / (std::to_string(journal->entries.size()) + ".new"), {'n'});
    AddStagedEntry(*journal, name, root() + u"\\" + name);
  }
  fs::create_hard_link(staging / "0.new", dir_.path() / "outside" / "n.dat");
  WriteAll(staging / "3.new", {'n'});
  AddStagedEntry(*journal, u".\\sub\\b.dat", root() + u"\\sub\\b.dat");
  journal->entries.back().existed = true;
  fs::create_hard_link(game() / "sub" / "b.dat", staging / "3.old");  // the old file, kept
  ASSERT_TRUE(WriteJournal(*journal));
  WriteAll(game() / "sub" / "other", {'p'});  // since put at its name by someone else
  fs::rename(game() / "sub" / "other", game() / "sub" / "b.dat");
  for (const char* name : {"0.new", "1.new", "2.new", "3.new"}) fs::remove(staging / name);
  Snapshot before = TakeSnapshot(game());
  EXPECT_EQ(InstallFile(dir_.path() / "package.bin").cause, Cause::kRecoveryFailed);
  EXPECT_EQ(TakeSnapshot(game()), before);
  EXPECT_EQ(ReadAll(dir_.path() / "outside" / "n.dat"), Bytes{'n'});
}

// The journal reads back as it was written: each entry with both
// identities, the folders made and those that may go. Cut short anywhere,
// it reads as none: no file was moved before it was whole. Damaged, it is
// refused.
TEST_F(InstallerTest, JournalReadsBackAsWrittenAndNotWhenCut) {
  std::unique_ptr<Staging> written = Planned(root());
  ASSERT_TRUE(written && !CreateStagingFolder(*written).failed());
  fs::path staging = game() / ".update-staging";
  struct {
    const char16_t* name;
    bool existed, removal, folder;
  } const entries[] = {{u".\\a.dat", true, false, false},
                       {u".\\new\\c.dat", false, false, false},
                       {u".\\gone\\deeper\\x.dat", true, true, false},
                       {u".\\sounds", true, true, true}};
  for (const auto& e : entries) {
    if (!e.removal) WriteAll(staging / (std::to_string(written->entries.size()) + ".new"), {'n'});
    AddStagedEntry(*written, e.name, TargetOf(*written, e.name));
    StagedEntry& entry = written->entries.back();
    entry.existed = e.existed;
    entry.removal = e.removal;
    entry.folder = e.folder;
    uint64_t n = written->entries.size();
    entry.new_id = {0x0102030405060708u * n, n};
    entry.old_id = {0x1112131415161718u * n, n << 40};
  }
  written->new_folders = {u".\\new"};
  ASSERT_TRUE(WriteJournal(*written));
  Bytes whole = ReadAll(staging / "journal");
  // Identities little-endian, whatever the machine: the first after "file" and its flag.
  EXPECT_EQ(Bytes(whole.begin() + 5, whole.begin() + 13),
            (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
  auto read_back = [&](const Bytes& journal) {
    WriteAll(staging / "journal", journal);
    std::unique_ptr<Staging> read = Planned(root());
    EXPECT_TRUE(read);
    read->staging_folder =
        std::move(platform::OpenSubfolder(read->folders.root(), u".update-staging")).value_or({});
    return read;
  };
  // Damaged, not cut: an unknown tag, a name no package may carry, a file's
  // kind no updater writes.
  Bytes unknown_kind = whole;
  unknown_kind[4] = 8;
  for (Bytes damaged :
       {Bytes{'x', 'x', 'x', 'x', 0, 0}, Bytes{'f', 'o', 'l', 'd', 1, 0, '.', 0}, unknown_kind}) {
    std::unique_ptr<Staging> read = read_back(damaged);
    EXPECT_FALSE(ReadJournal(*read));
  }
  for (size_t cut = 0; cut <= whole.size(); cut += cut < 40 ? 1 : 7) {
    std::unique_ptr<Staging> read = read_back(Bytes(whole.begin(), whole.begin() + cut));
    platform::Result<bool> journal = ReadJournal(*read);
    ASSERT_TRUE(journal) << cut;
    ASSERT_EQ(*journal, cut == whole.size()) << cut;
    if (cut < whole.size()) continue;
    ASSERT_EQ(read->entries.size(), written->entries.size());
    for (size_t i = 0; i < read->entries.size(); ++i) {
      const StagedEntry &got = read->entries[i], &want = written->entries[i];
      EXPECT_TRUE(got.name == want.name && got.target == want.target && got.staged == want.staged &&
                  got.existed == want.existed && got.removal == want.removal &&
                  got.folder == want.folder && got.new_id == want.new_id &&
                  got.old_id == want.old_id)
          << i;
    }
    EXPECT_EQ(read->new_folders, written->new_folders);
    EXPECT_EQ(read->gone_folders, written->gone_folders);
  }
}

// Another user who may write the game folder swaps folders for links to a
// folder outside at each operation in turn: a folder on a target's way, the
// folder the install creates, and staging. Nothing outside ever changes.
fs::path g_swap_game, g_swap_outside;
bool g_swapped = false;
bool g_removed_swapped = false;  // the file a removal takes was swapped for another

// The file the update removes, for another one: that one is never taken.
void SwapRemovedFile() {
  g_swapped = true;
  std::error_code gone;
  fs::path removed = g_swap_game / "gone" / "deeper" / "x.dat";
  if (fs::is_regular_file(removed, gone)) {
    WriteAll(removed.parent_path() / "swap", Bytes(7, 'r'));
    fs::rename(removed.parent_path() / "swap", removed, gone);
    g_removed_swapped = !gone;  // Windows refuses while the update holds the file
  }
}

// A file of the player's put in the folder a file replaces: it is never lost.
bool g_planted = false;

void PlantInReplacedFolder() {
  g_swapped = true;
  std::error_code none;
  g_planted = fs::is_directory(g_swap_game / "sounds", none);
  if (g_planted) WriteAll(g_swap_game / "sounds" / "planted", {'p'});
}

// The folder a file replaces renamed away and, at its name, a link leading
// outside, another user's folder or a file: the player's files go back into
// their own folder wherever it is now, never into the other one.
enum class InPlace { kLink, kFolder, kFile } g_in_place;
bool g_theirs = false;  // another user's folder stands at the name

void SwapReplacedFolder() {
  g_swapped = true;
  std::error_code refused;  // Windows refuses while the update holds it
  if (!fs::is_directory(g_swap_game / "sounds", refused)) return;
  fs::rename(g_swap_game / "sounds", g_swap_game / "sounds.moved", refused);
  if (refused) return;
  if (g_in_place == InPlace::kLink)  // Wine cannot make one: the name stays empty
    fs::create_directory_symlink(g_swap_outside, g_swap_game / "sounds", refused);
  if (g_in_place == InPlace::kFile) WriteAll(g_swap_game / "sounds", {'f'});
  if (g_in_place == InPlace::kFolder) WriteAll(g_swap_game / "sounds" / "theirs", {'t'});
  g_theirs = g_in_place == InPlace::kFolder;
}
void SwapReplacedFolderForLink() { g_in_place = InPlace::kLink, SwapReplacedFolder(); }
void SwapReplacedFolderForFolder() { g_in_place = InPlace::kFolder, SwapReplacedFolder(); }
void SwapReplacedFolderForFile() { g_in_place = InPlace::kFile, SwapReplacedFolder(); }

void SwapFoldersForLinks() {
  g_swapped = true;
  std::error_code refused;  // Windows refuses to rename a held folder: the point of holding it
  for (std::string name : {"sub", "new", "gone", ".update-staging"}) {
    fs::rename(g_swap_game / name, g_swap_game / (name + ".moved"), refused);
    fs::create_directory_symlink(g_swap_outside, g_swap_game / name, refused);
  }
}

TEST_F(InstallerTest, FolderSwappedForALinkAtAnyOperationNeverLeadsOutside) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, kEntries));
  g_swap_game = game();
  g_swap_outside = dir_.path() / "outside";
  int stranded = 0;
  for (void (*swap)() :
       {SwapFoldersForLinks, SwapRemovedFile, PlantInReplacedFolder, SwapReplacedFolderForLink,
        SwapReplacedFolderForFolder, SwapReplacedFolderForFile})
    for (int n = 1;; ++n) {
      for (const char* name :
           {"b.dat", "d.dat", "deeper/c.dat", "deeper/x.dat", "0.new", "0.old", "journal"}) {
        WriteAll(g_swap_outside / name, Bytes(5, 'x'));
      }
      Snapshot outside = TakeSnapshot(g_swap_outside);
      g_swapped = g_planted = g_theirs = false;
      g_removed_swapped = false;
      platform::SetFaultForTesting(n, platform::FaultAction::kCall, swap);
      (void)InstallFile(dir_.path() / "package.bin");
      platform::SetFaultForTesting(0);
      EXPECT_EQ(TakeSnapshot(g_swap_outside), outside) << "swapped at operation " << n;
      if (g_removed_swapped) {
        std::error_code moved;
        bool kept = fs::exists(game() / "gone" / "deeper" / "x.dat", moved) ||
                    fs::exists(game() / "gone.moved" / "deeper" / "x.dat", moved);
        EXPECT_TRUE(kept) << "swapped at operation " << n;
      }
      if (g_theirs) {  // the other user's folder as they left it
        Snapshot theirs = TakeSnapshot(game() / "sounds");
        EXPECT_EQ(theirs.size(), 1u) << "swapped at operation " << n;
        EXPECT_EQ(theirs.count("theirs"), 1u) << "swapped at operation " << n;
      }
      std::error_code none;  // the player's file is gone only where the update took it
      bool installed = fs::is_regular_file(game() / "a.dat", none) &&
                       ReadAll(game() / "a.dat") == kEntries[0].content;
      bool kept = fs::exists(game() / "sounds" / "deeper" / "s.dat", none) ||
                  fs::exists(game() / "sounds.moved" / "deeper" / "s.dat", none) ||
                  fs::exists(game() / ".update-staging", none);
      EXPECT_TRUE(installed || kept) << "swapped at operation " << n;
      bool replaced_folder_swap = swap == SwapReplacedFolderForLink ||
                                  swap == SwapReplacedFolderForFolder ||
                                  swap == SwapReplacedFolderForFile;
      if (replaced_folder_swap && fs::exists(game() / ".update-staging", none)) {
        // Swapped after the folder was let go to move: the journal stays, and
        // with the folder back the next run recovers it whole.
        ++stranded;
        EXPECT_FALSE(Recover(root())) << "not while another stands there: " << n;
        if (g_theirs) {
          EXPECT_EQ(TakeSnapshot(game() / "sounds").size(), 1u) << n;
        }
        fs::remove_all(game() / "sounds");
        fs::rename(game() / "sounds.moved", game() / "sounds", none);
        EXPECT_TRUE(Recover(root())) << "swapped at operation " << n;
        EXPECT_TRUE(fs::exists(game() / "sounds" / "deeper" / "s.dat", none)) << n;
      }
      if (swap == PlantInReplacedFolder && g_planted) {
        std::error_code gone;
        EXPECT_TRUE(fs::exists(game() / "sounds" / "planted", gone)) << "planted at " << n;
      }
      if (!g_swapped) break;
      fs::remove_all(game());
      fs::remove_all(g_swap_outside);
      SetUp();
      ASSERT_LT(n, 500);
    }
  // While the folder is held a swap is refused before anything strands: only
  // the few operations between letting it go and its move leave staging.
  EXPECT_LE(stranded, 3 * 6);
}

#ifndef _WIN32
// Another user puts a folder of their own in staging's place between its
// creation and its opening: the install refuses it and changes nothing.
// (Windows holds the folder's parent; Wine keeps no access lists to tell.)
// A folder open to all, or one of this very user's, private but holding a file.
bool g_swap_private = false;

void SwapNewStaging() {
  fs::path staging = g_swap_game / ".update-staging";
  std::error_code none;
  if (g_swapped || !fs::is_directory(staging, none) || !fs::is_empty(staging, none)) return;
  g_swapped = true;
  fs::remove(staging);
  fs::create_directory(staging);
  fs::permissions(staging, g_swap_private ? fs::perms::owner_all : fs::perms::all);
  if (g_swap_private) WriteAll(staging / "0.old", {'m'});
}

TEST_F(InstallerTest, StagingSwappedAsItIsMadeIsRefused) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, kEntries));
  g_swap_game = game();
  for (bool private_folder : {false, true}) {
    g_swap_private = private_folder;
    g_swapped = false;
    for (int n = 1; !g_swapped; ++n) {
      Snapshot before = TakeSnapshot(game());
      platform::SetFaultForTesting(n, platform::FaultAction::kCall, SwapNewStaging);
      Failure failure = InstallFile(dir_.path() / "package.bin");
      platform::SetFaultForTesting(0);
      if (g_swapped) {  // refused, and its files left alone
        EXPECT_EQ(failure.cause, Cause::kStagingNotOurs);
        EXPECT_EQ(ReadAll(game() / ".update-staging" / "0.old"),
                  private_folder ? Bytes{'m'} : Bytes{});
        fs::remove_all(game() / ".update-staging");
        EXPECT_EQ(TakeSnapshot(game()), before);
      }
      fs::remove_all(game());
      SetUp();
      ASSERT_LT(n, 50);
    }
  }
}
#endif

// The process killed at each operation in turn: every file is old or new,
// never partial, and the next run completes the install and cleans up.
// Files synced on the sync thread: the first failure stands, whatever
// syncs after it, and Finish reports it; with none, every file is synced
// and closed.
TEST_F(InstallerTest, StagedSyncKeepsTheFirstFailure) {
  for (int failing : {0, 1, 2}) {  // the sync that fails: none, the first, the second
    SCOPED_TRACE(failing);
    std::vector<platform::File> files;
    for (int i = 0; i < 4; ++i) {
      files.push_back(OpenOrClosed(dir_.Wide("synced" + std::to_string(i)), "wb"));
      ASSERT_TRUE(files.back().Write("bytes", 5));
    }
    StagedSync sync;
    platform::SetFaultForTesting(failing);  // counts the syncs from here
    platform::Status added;
    for (platform::File& file : files) {
      platform::Status taken = sync.Add(std::move(file));
      if (added) added = taken;
    }
    platform::Status finished = sync.Finish();
    platform::SetFaultForTesting(0);
    EXPECT_EQ(finished.ok(), failing == 0);
    EXPECT_TRUE(added.ok() || !finished.ok());
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(ReadAll(dir_.path() / ("synced" + std::to_string(i))).size(), 5u);
  }
}

// Records that name one game file again and again, with its true size, as
// a hostile or a many-release update may: the file is hashed once for the
// run, by the plan and by the install alike.
TEST_F(InstallerTest, AFileNamedByManyRecordsIsHashedOnce) {
  const Bytes old = Bytes(10, 'o');  // a.dat as SetUp leaves it
  std::unique_ptr<Staging> staging = Planned(root());
  ASSERT_TRUE(staging);
  staging->read_file = platform::ReadFileKeepingAccessIn;
  package::Record record;
  record.kind = package::RecordKind::kRemove;
  record.version_count = 2;
  for (int i = 0; i < 2; ++i) {
    record.versions[i].size = old.size();  // the true size; neither is its bytes
    record.versions[i].hash[0] = static_cast<uint8_t>(i + 1);
    record.versions[i].releases = 1u << i;
  }
  for (int i = 0; i < 20; ++i) {
    record.name = u".\\a.dat";
    record.target = root() + u"\\a.dat";
    EXPECT_EQ(ForecastRecord(record, *staging).action, Action::kKeep);
  }
  EXPECT_EQ(staging->hashed.size(), 1u);
  // Its own version is removed, unless the folder may not be changed (the
  // seam stands for an access list that denies it): then the plan fails
  // there, as the install would, with the system's refusal.
  platform::Sha256 sha;
  sha.Update(old.data(), old.size());
  ASSERT_TRUE(sha.Finish(record.versions[1].hash));
  for (int fault : {0, 1}) {
    platform::SetFaultForTesting(fault);
    Forecast forecast = ForecastRecord(record, *staging);
    platform::SetFaultForTesting(0);
    EXPECT_EQ(forecast.action, fault ? Action::kFail : Action::kRemove);
    EXPECT_EQ(forecast.failure.cause, fault ? Cause::kRemove : Cause::kNone);
    EXPECT_EQ(forecast.failure.os_error != 0, fault != 0);
  }
}

// Every kind of record against what its names may hold: what the install
// (and a plan) does, and what it looks at first, in that order (c: the
// target's bytes, v: the version there, a delta's by its patch). Costly
// looks come only where they can change the decision.
TEST(DecisionTest, EachRecordIsDecidedFromWhatItsNamesHold) {
  using package::RecordKind;
  enum Shape { kWhole, kBlockWhole, kDelta, kMovedDelta, kAlts, kAltsWithWhole, kRemoval };
  constexpr AtTarget N = AtTarget::kNothing, F = AtTarget::kFile, D = AtTarget::kFolder;
  struct Case {
    Shape shape;
    AtTarget target;
    int version, current;  // as a look finds them: version 2 of "alts" is read from a moved name
    Action action;
    const char* looks;
    uint32_t releases = 0;
    Cause cause = Cause::kNone;
    bool aside = false, denied = false;
  };
  const Case cases[] = {
      {kWhole, N, -1, 0, Action::kAdd, ""},
      {kWhole, F, -1, 0, Action::kReplace, ""},
      {kWhole, D, -1, 0, Action::kReplace, ""},  // a folder in its place goes aside
      {kBlockWhole, F, -1, 1, Action::kCurrent, "c"},
      {kBlockWhole, F, -1, 0, Action::kReplace, "c"},
      {kBlockWhole, N, -1, 1, Action::kAdd, ""},
      {kDelta, F, 0, 0, Action::kPatch, "v"},
      {kDelta, F, -1, 1, Action::kCurrent, "vc"},  // a second run
      {kDelta, F, -1, 0, Action::kFail, "vc", 0, Cause::kWrongOldFile},
      {kDelta, N, -1, 0, Action::kFail, "v", 0, Cause::kWrongOldFile},
      {kDelta, D, -1, 1, Action::kFail, "v", 0, Cause::kWrongOldFile},
      {kMovedDelta, F, 0, 1, Action::kCurrent, "c"},  // moved already: never patched
      {kMovedDelta, F, 0, 0, Action::kPatch, "cv"},
      {kMovedDelta, N, 0, 0, Action::kPatch, "v"},
      {kMovedDelta, N, -1, 0, Action::kFail, "v", 0, Cause::kWrongOldFile},
      {kAlts, F, 1, 1, Action::kPatch, "v", 2},
      {kAlts, F, 2, 1, Action::kCurrent, "vc", 4},
      {kAlts, F, 2, 0, Action::kPatch, "vc", 4},
      {kAlts, N, 2, 0, Action::kPatch, "v", 4},
      {kAlts, F, -1, 1, Action::kCurrent, "vc", 8},  // the releases that have the new file
      {kAlts, F, -1, 0, Action::kFail, "vc", 0, Cause::kNoKnownVersion},
      {kAlts, N, -1, 0, Action::kFail, "v", 0, Cause::kNoKnownVersion},
      {kAltsWithWhole, F, -1, 0, Action::kWhole, "vc"},  // repaired
      {kRemoval, N, 0, 0, Action::kCurrent, "", 8},
      {kRemoval, D, 0, 0, Action::kCurrent, "", 8},  // the update's own folder stays
      {kRemoval, F, 1, 0, Action::kRemove, "v", 2},
      {kRemoval, F, -1, 0, Action::kKeep, "v"},                          // the player's edit stays
      {kRemoval, N, 1, 0, Action::kRemove, "v", 2, Cause::kNone, true},  // made room already
      {kRemoval, N, -1, 0, Action::kRemove, "v", 0, Cause::kNone, true},
      // A folder the process may not change fails what would change it, and only that.
      {kRemoval, F, 1, 0, Action::kFail, "v", 0, Cause::kRemove, false, true},
      {kRemoval, F, -1, 0, Action::kKeep, "v", 0, Cause::kNone, false, true},
      {kWhole, N, -1, 0, Action::kFail, "", 0, Cause::kPlace, false, true},
      {kDelta, F, 0, 0, Action::kFail, "v", 0, Cause::kReplace, false, true},
      {kAlts, F, -1, 1, Action::kCurrent, "vc", 8, Cause::kNone, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "shape " << c.shape << ", target " << int(c.target)
                                    << ", version " << c.version << ", current " << c.current);
    package::Record record;
    record.name = record.old_name = u".\\a.dat";
    record.kind = c.shape == kRemoval ? RecordKind::kRemove
                  : c.shape >= kAlts  ? RecordKind::kChoice
                  : c.shape >= kDelta ? RecordKind::kDelta
                                      : RecordKind::kFile;
    record.in_block = c.shape == kBlockWhole;
    if (c.shape == kMovedDelta) record.old_name = u".\\old\\a.dat";
    record.version_count = 3;
    record.old_names = {record.name, record.name, u".\\old\\a.dat"};
    for (int i = 0; i < 3; ++i) record.versions[i].releases = 1u << i;
    record.current_in = c.shape >= kAlts ? 8 : 0;  // the releases without the old file
    record.whole_length = c.shape == kAltsWithWhole ? 10 : 0;
    Found found;
    found.target = c.target;
    found.aside = c.aside;
    if (c.denied) found.rights = platform::Status::Error(platform::MissingError());
    std::string looks;
    Decision decision = Decide(record, found);
    for (; decision.look != Look::kNothing && looks.size() < 4; decision = Decide(record, found)) {
      bool current = decision.look == Look::kCurrent;
      looks += current ? 'c' : 'v';
      (current ? found.current : found.version) = current ? c.current : c.version;
    }
    EXPECT_EQ(looks, c.looks);
    EXPECT_EQ(decision.action, c.action);
    EXPECT_EQ(decision.cause, c.cause);
    EXPECT_EQ(decision.releases, c.action == Action::kFail ? 0 : c.releases);
    EXPECT_EQ(decision.version,
              c.action == Action::kPatch && c.shape != kAlts ? -1 : decision.version);
  }
}

// A journal of an install cut off half-way through its commit (a.dat
// replaced, the old one kept as 0.old) is undone only when it can be read
// whole and the backup is the recorded old file. One that cannot be opened
// or read, reads short, holds an unknown tag, or whose backup was swapped
// keeps the run from going on and leaves staging, backups and all, as it
// was. Only a journal without its end (the commit never started) lets
// staging go.
TEST_F(InstallerTest, RecoveryUndoesOnlyAJournalReadWholeAndKeepsStagingOtherwise) {
  WriteAll(dir_.path() / "package.bin", MakePackage(dir_, kEntries));
  fs::path staging = game() / ".update-staging";
  enum Damage { kNone, kOpen, kRead, kShort, kUnknownTag, kBackupSwapped, kCut, kCutBesideBackup };
  struct Case {
    Damage damage;
    bool installs;
    size_t cut = 0;  // kCutBesideBackup: the journal's bytes kept
  };
  std::vector<Case> cases = {{kNone, true},   {kOpen, false},       {kRead, false},
                             {kShort, false}, {kUnknownTag, false}, {kBackupSwapped, false},
                             {kCut, true}};
  // A journal that ends early beside an old file moved aside is damaged, at any length.
  for (size_t cut = 0; cut < 64; ++cut) cases.push_back({kCutBesideBackup, false, cut});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.damage << " " << c.cut);
    fs::remove_all(game());
    SetUp();
    std::unique_ptr<Staging> cut = Planned(root());
    ASSERT_TRUE(cut && !CreateStagingFolder(*cut).failed());
    WriteAll(staging / "0.new", {'n'});
    AddStagedEntry(*cut, u".\\a.dat", root() + u"\\a.dat");
    cut->entries.back().existed = true;
    platform::Result<platform::FileId> old_id = platform::FileIdIn(cut->folders.root(), u"a.dat");
    platform::Result<platform::FileId> new_id = platform::FileIdIn(cut->staging_folder, u"0.new");
    ASSERT_TRUE(old_id && new_id);
    cut->entries.back().old_id = *old_id;
    cut->entries.back().new_id = *new_id;
    ASSERT_TRUE(WriteJournal(*cut));
    cut.reset();  // nothing held while the next run works
    Bytes journal = ReadAll(staging / "journal");
    if (c.damage == kCutBesideBackup && c.cut >= journal.size()) continue;
    if (c.damage == kCutBesideBackup)
      WriteAll(staging / "journal", Bytes(journal.begin(), journal.begin() + c.cut));
    if (c.damage == kCut) {
      WriteAll(staging / "journal", Bytes(journal.begin(), journal.end() - 4));
    } else {  // the commit half done: the old file aside, the new one in place
      fs::rename(game() / "a.dat", staging / "0.old");
      fs::rename(staging / "0.new", game() / "a.dat");
    }
    if (c.damage == kUnknownTag) {
      journal.insert(journal.end() - 4, {'x', 'x', 'x', 'x', 0, 0});
      WriteAll(staging / "journal", journal);
    }
    if (c.damage == kBackupSwapped) {  // the recorded one kept elsewhere: its number stays taken
      fs::rename(staging / "0.old", dir_.path() / "recorded.old");
      WriteAll(staging / "0.old", Bytes(10, 'o'));
    }
    const platform::ReadFault faults[] = {platform::ReadFault::kNone, platform::ReadFault::kOpen,
                                          platform::ReadFault::kRead,
                                          platform::ReadFault::kShortRead};
    platform::SetReadFaultForTesting(
        u"journal", c.damage <= kShort ? faults[c.damage] : platform::ReadFault::kNone);
    Snapshot before = TakeSnapshot(game());
    Failure failure = InstallFile(dir_.path() / "package.bin");
    platform::SetReadFaultForTesting(u"", platform::ReadFault::kNone);
    if (c.installs) {
      EXPECT_FALSE(failure.failed());
      ExpectInstalled(kEntries);
      continue;
    }
    EXPECT_EQ(failure.cause, Cause::kRecoveryFailed);
    EXPECT_EQ(TakeSnapshot(game()), before);
  }
}

TEST_F(InstallerTest, KilledAtAnyOperationRecoversOnTheNextRun) {
  Bytes package = MakePackage(dir_, kEntries);
  WriteAll(dir_.path() / "package.bin", package);
  for (int n = 1;; ++n) {
    Snapshot old_state = TakeSnapshot(game());
    bool killed = InstallInChild(n, dir_.Wide("package.bin"), root()) == 137;
#ifndef _WIN32
    if (fs::exists(game() / ".update-staging")) {  // for this user alone
      EXPECT_EQ(fs::status(game() / ".update-staging").permissions(), fs::perms::owner_all);
    }
#endif
    Snapshot now = TakeSnapshot(game());
    for (const TestEntry& e : kEntries) {  // each as it was or as the update leaves it
      auto found = now.find(Rel(e)), before = old_state.find(Rel(e));
      bool as_new =
          e.removal ? found == now.end() : found != now.end() && found->second.first == e.content;
      // A folder a file replaces goes before the file comes: neither is there between.
      bool as_old = found == now.end()
                        ? before == old_state.end() || before->second.first == Bytes{'/'}
                        : before != old_state.end() && found->second.first == before->second.first;
      EXPECT_TRUE(as_new || as_old) << Rel(e) << " after a kill at operation " << n;
    }
    // Recovery alone puts back the old state, unless the install had finished:
    // with a journal it had not, and without one it had not moved a file.
    bool journal = fs::exists(game() / ".update-staging" / "journal");
    ASSERT_TRUE(Recover(root()));
    if (journal || !fs::exists(game() / "new")) {
      EXPECT_EQ(TakeSnapshot(game()), old_state) << n;
    }
    ASSERT_FALSE(Install(package).failed()) << "rerun after a kill at operation " << n;
    ExpectInstalled(kEntries);
    if (!killed) break;
    fs::remove_all(game());
    SetUp();
    ASSERT_LT(n, 500);
  }
}

}  // namespace
