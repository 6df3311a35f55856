// The platform seam's POSIX side: what each file kind does to a reader, the
// replacement of a file in one step, the bench lock's bounded wait, and the
// monotonic sleep. (The Win32 side runs the same program paths under Wine:
// tests/windows.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/platform/Platform.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using platform::FileKind;

TEST(Platform, ReadingTellsEachKindOfFileWithoutBlocking) {
  const fs::path dir = testing::FreshTempDir("platform-read");
  std::ofstream(dir / "file") << "text";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: must not block
  const struct {
    const char* name;
    bool opens;
    FileKind kind;
    bool missing;
  } cases[] = {
      {"file", true, FileKind::Regular, false},
      {".", true, FileKind::Folder, false},
      {"fifo", true, FileKind::Fifo, false},
      {"absent", false, FileKind::Other, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::InputFile file;
    platform::SystemError error;
    const std::string path = c.name == std::string(".") ? dir.string() : (dir / c.name).string();
    ASSERT_EQ(file.Open(path, error), c.opens) << error.text;
    EXPECT_EQ(error.missing, c.missing);
    if (!c.opens) continue;
    EXPECT_EQ(file.kind(), c.kind);
    FileKind seen{};
    ASSERT_TRUE(platform::KindOf(path, seen));
    EXPECT_EQ(seen, c.kind);
  }
  platform::InputFile file;
  platform::SystemError error;
  ASSERT_TRUE(file.Open((dir / "file").string(), error));
  char buffer[16];
  EXPECT_EQ(file.Read(buffer, sizeof buffer, error), 4);
  EXPECT_EQ(file.Read(buffer, sizeof buffer, error), 0);
}

TEST(Platform, AReplacementIsWholeOrAbsentAndLeavesNoTemporaryFile) {
  const fs::path dir = testing::FreshTempDir("platform-replace");
  const std::string target = (dir / "out.txt").string();
  for (const bool sync : {false, true}) {
    for (const bool exists : {false, true}) {
      SCOPED_TRACE(std::string(sync ? "sync " : "") + (exists ? "over a file" : "new"));
      fs::remove(target);
      if (exists) std::ofstream(target) << "old";
      platform::ReplacementFile file;
      platform::SystemError error;
      ASSERT_TRUE(file.Begin(target, {}, error)) << error.text;
      ASSERT_TRUE(file.Write("new", error));
      EXPECT_EQ(testing::Slurp(target), exists ? "old" : "");
      ASSERT_TRUE(file.Commit(sync, error)) << error.text;
      EXPECT_EQ(testing::Slurp(target), "new");
      EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
  }
  platform::ReplacementFile aborted;
  platform::SystemError error;
  ASSERT_TRUE(aborted.Begin(target, ".x.", error));
  aborted.Abort();
  EXPECT_EQ(testing::Slurp(target), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_FALSE(aborted.Begin((dir / "no-such-folder" / "f").string(), {}, error));
  EXPECT_TRUE(error.missing);
}

TEST(Platform, TheBenchLockIsExclusiveAndItsWaitIsBounded) {
  const fs::path dir = testing::FreshTempDir("platform-lock");
  const std::string path = (dir / "bench.lock").string();
  platform::FileLock first, second;
  std::string error;
  ASSERT_EQ(first.Acquire(path, 0, error), platform::FileLock::Outcome::Locked) << error;
  const std::int64_t t0 = platform::MonotonicNs();
  EXPECT_EQ(second.Acquire(path, 50, error), platform::FileLock::Outcome::Busy);
  EXPECT_GE(platform::MonotonicNs() - t0, 50'000'000);
  EXPECT_NE(second.Holder().find("process "), std::string::npos) << second.Holder();
  first.Release();
  EXPECT_EQ(second.Acquire(path, 0, error), platform::FileLock::Outcome::Locked) << error;
  fs::create_symlink(path, dir / "link.lock");
  platform::FileLock linked;
  EXPECT_EQ(linked.Acquire((dir / "link.lock").string(), 0, error), platform::FileLock::Outcome::Failed);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
}

TEST(Platform, SleepsEndOnTheirAbsoluteDeadlineNeverBefore) {
  for (const std::int64_t ns : {0LL, 200'000LL, 2'000'000LL}) {
    const std::int64_t deadline = platform::MonotonicNs() + ns;
    platform::SleepUntilNs(deadline);
    EXPECT_GE(platform::MonotonicNs(), deadline) << ns;
  }
}

}  // namespace
}  // namespace tarvel
