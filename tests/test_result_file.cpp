#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/MainModule.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

using testing::Slurp;

class ResultFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir("result");
    file = dir / "TRVOutput.dat";
  }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all);
    fs::remove_all(dir);
  }
  fs::path dir, file;
};

TEST_F(ResultFile, WritesOneLineWithCrLfAndReplacesEarlierContent) {
  const std::pair<const char*, const char*> writes[] = {
      {"RX4410R, 37, 8", "RX4410R, 37, 8\r\n"},
      {"RX4410R, 0, 63", "RX4410R, 0, 63\r\n"},  // replaced, not appended
      {"", "\r\n"},
  };
  for (const auto& [text, expected] : writes) {
    ASSERT_TRUE(WriteResultFile(file.string(), text));
    EXPECT_EQ(Slurp(file), expected);
  }
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(ResultFile, AFailedWriteLeavesTheEarlierFileWhole) {
  ASSERT_TRUE(WriteResultFile(file.string(), "RX4410R, 1, 2"));
  if (::geteuid() == 0) {
    // Root ignores folder permissions: block the rename with a folder instead.
    const fs::path blocked = dir / "blocked";
    fs::create_directory(blocked);
    fs::create_directory(blocked / "TRVOutput.dat");
    fs::create_directory(blocked / "TRVOutput.dat" / "inside");
    EXPECT_FALSE(WriteResultFile((blocked / "TRVOutput.dat").string(), "RX4410R, 3, 4"));
    EXPECT_EQ(std::distance(fs::directory_iterator(blocked), fs::directory_iterator()), 1)
        << "the temporary file is removed";
  } else {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(WriteResultFile(file.string(), "RX4410R, 3, 4"));
    fs::permissions(dir, fs::perms::owner_all);
  }
  EXPECT_EQ(Slurp(file), "RX4410R, 1, 2\r\n");
}

TEST_F(ResultFile, NamesThatCannotBeFilesFailQuietly) {
  for (const std::string& name :
       {std::string(), (dir / "missing" / "TRVOutput.dat").string(), dir.string() + "/"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(WriteResultFile(name, "x")) << name;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << name;
  }
}

}  // namespace
}  // namespace tarvel
