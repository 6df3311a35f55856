// `tarvel --decode` end to end: output and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "ProgramRunner.h"
#include "TestSupport.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

TEST(DecodeCommand, ExitStatusTellsReadFromMalformedFromMissing) {
  const fs::path dir = testing::FreshTempDir("decode");
  std::ofstream(dir / "ok.vcd") << "$timescale 10 ns $end\n$var wire 1 ! D2 $end\n$enddefinitions $end\n"
                                   "#0 1!\n";
  std::ofstream(dir / "bad.vcd") << "$timescale 1 us $end\n$bogus $end\n";
  ASSERT_EQ(::mkfifo((dir / "idle.fifo").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"--decode", "ok.vcd"}, 0, "", "no wire named D0 for D0"},
      {{"--decode", "ok.vcd", "--map", "D0=!"}, 0, "", "no wire named ! for D0"},
      {{"--decode", "bad.vcd"}, 65, "", "bad.vcd:2: not a valid VCD file"},
      {{"--decode", "absent.vcd"}, 66, "", "cannot open absent.vcd"},
      {{"--decode", "."}, 66, "", "cannot open ."},
      {{"--decode", "idle.fifo"}, 66, "", "cannot open idle.fifo: no process writes the FIFO"},
      {{"--decode"}, 64, "", "usage: tarvel --decode"},
      {{"--decode", "ok.vcd", "--map", "X=1"}, 64, "", "bad --map entry"},
  };
  for (const Case& c : cases) {
    const auto r = testing::RunProgram(TARVEL_PROGRAM, c.args, dir.string(), {{"PATH", "/usr/bin:/bin"}});
    EXPECT_FALSE(r.timedOut) << c.args.back();
    EXPECT_EQ(r.status, c.status) << c.args.back() << r.err;
    EXPECT_EQ(r.out, c.out) << c.args.back();
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args.back() << ": " << r.err;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tarvel
