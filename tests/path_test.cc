// The path rules callers rely on; the same table holds for both platforms.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#endif

#include "pack/source_walk.h"
#include "platform/fault_seam.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

TEST(PathTest, AppendPath) {
  struct Case {
    WString base, more;
    std::optional<WString> joined;
  } cases[] = {
      {u".\\", u"tavro.exe", WString(u"tavro.exe")},
      {u".\\", u".\\sub\\a.dat", WString(u"sub\\a.dat")},
      {u".\\", u".\\newdir\\deeper\\x.dat", WString(u"newdir\\deeper\\x.dat")},
      {u"C:\\game", u"src", WString(u"C:\\game\\src")},
      {u"C:\\game\\", u"src", WString(u"C:\\game\\src")},
      {u"C:\\game", u"\\src", WString(u"C:\\game\\src")},
      {u"C:\\game\\src", u"sub\\.\\a.dat", WString(u"C:\\game\\src\\sub\\a.dat")},
      {u"C:\\game\\src", u"..\\b.dat", WString(u"C:\\game\\b.dat")},
      {u"C:\\game", u"日本語\\データ.dat", WString(u"C:\\game\\日本語\\データ.dat")},
      {u"C:\\g", WString(254, u'a'), WString(u"C:\\g\\") + WString(254, u'a')},
      {u"C:\\g", WString(255, u'a'), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::AppendPath(c.base, c.more), c.joined)
        << std::string(c.more.begin(), c.more.end());
  }
}

TEST(PathTest, RelativePathTo) {
  struct Case {
    WString dir, file, relative;
  } cases[] = {
      {u"C:\\work\\src", u"C:\\work\\src\\data2.dat", u".\\data2.dat"},
      {u"C:\\work\\src", u"C:\\work\\src\\sub\\a.dat", u".\\sub\\a.dat"},
      {u"C:\\work\\src", u"C:\\work\\src\\表\\深い\\x.dat", u".\\表\\深い\\x.dat"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::RelativePathTo(c.dir, c.file), std::optional<WString>(c.relative));
  }
}

// A listing that breaks off at any step is an error with its cause, never a
// shorter listing, and it stops the walk; a folder whose listing pattern
// ("folder\*") would pass 259 units is refused before it is listed.
TEST(PathTest, ListingFailsWholeAndLongPatternsAreRefused) {
  ScratchDir dir;
  for (const char* name : {"a", "b", "c"}) WriteAll(dir.path() / name, {});
  platform::Result<platform::Folder> folder = platform::OpenFolder(dir.Wide());
  ASSERT_TRUE(folder);
  ASSERT_EQ(platform::ListFolder(*folder)->size(), 3u);
  // A name that is not one component is refused, never taken for a missing file.
  for (const char16_t* name : {u"", u".", u"..", u"a\\b", u"a/b"}) {
    platform::Result<platform::NodeKind> kind = platform::KindIn(*folder, name);
    EXPECT_EQ(kind.error(), platform::BadNameError()) << std::string(name, name + 1);
  }
  for (int n = 1; n <= 5; ++n) {
    platform::SetFaultForTesting(n);
    platform::Result<std::vector<platform::FolderItem>> listed = platform::ListFolder(*folder);
    platform::SetFaultForTesting(0);
    EXPECT_FALSE(listed) << n;
    EXPECT_EQ(listed.error(), platform::InjectedError()) << n;  // the cause reaches the caller
  }

  size_t room = 258 - dir.Wide().size() - 2;  // two more components make 258 units
  std::string first(room / 2, 'd'), second(room - room / 2, 'e');
  std::filesystem::create_directories(dir.path() / first / second);
  // The walk stops on a listing that breaks off, with the system's error.
  platform::SetFaultForTesting(1);
  Failure walked = WalkTree(dir.Wide(), TreeVisitor());
  platform::SetFaultForTesting(0);
  EXPECT_EQ(walked.cause, Cause::kSourceUnreadable);
  EXPECT_EQ(walked.os_error, platform::InjectedError());

  WString deep = dir.Wide(first + "/" + second);
  ASSERT_EQ(deep.size(), 258u);
  EXPECT_EQ(WalkTree(deep, TreeVisitor()).cause, Cause::kPathTooLong);
}

// The update reads the very file it was loaded from. On Windows another file
// at its name, even a copy byte for byte, is refused; POSIX reads the running
// image whatever the name holds.
#ifndef _WIN32
// An interrupt reaches only the main thread, which holds it off while it
// creates a file the interrupt must remove: our threads start blocking it.
TEST(PathTest, ThreadsStartWithInterruptsBlocked) {
  static bool blocked = false;
  platform::Result<platform::Thread> thread = platform::StartThread(
      [](void*) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        blocked = sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM);
      },
      nullptr);
  ASSERT_TRUE(thread);
  thread->Join();
  EXPECT_TRUE(blocked);
}
#endif

TEST(PathTest, OwnProgramIsTheFileItWasLoadedFrom) {
  std::optional<WString> self = platform::OwnExecutablePath();
  ASSERT_TRUE(self);
  EXPECT_TRUE(platform::OpenOwnProgram(*self));
  ScratchDir dir;
  std::filesystem::copy_file(std::filesystem::path(platform::DisplayPath(*self)),
                             dir.path() / "copy.exe");
  platform::Result<platform::File> copy = platform::OpenOwnProgram(dir.Wide("copy.exe"));
#ifdef _WIN32
  EXPECT_FALSE(copy);
#else
  EXPECT_TRUE(copy);
#endif
}

}  // namespace
