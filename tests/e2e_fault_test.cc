// End to end: what the world can do to a run. Permissions, other programs
// changing the input meanwhile, a lost report, too little memory.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "report.h"
#include "rom_maker.h"
#include "run_tool.h"
#include "test_files.h"

namespace {

class FaultTest : public TempDirTest {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS_BUILD();
    TempDirTest::SetUp();
  }

  // As root, the runs below are made as nobody; the files they need to
  // reach are handed over to nobody.
  void GiveAway(const std::string& path) {
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0) << path;
    }
  }
  RunOptions Unprivileged() {
    RunOptions options;
    options.unprivileged = true;
    return options;
  }
};

TEST_F(FaultTest, UnreadableInput) {
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  WriteBytes(Path("in.rom"), PassingChips(1));
  ASSERT_EQ(chmod(Path("in.rom").c_str(), 0), 0);
  RunResult run = RunRomtest({Path("in.rom")}, Unprivileged());
  EXPECT_EQ(run.out, kBanner + CannotOpen(Path("in.rom")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(FaultTest, OutputThatMayNotBeReplaced) {
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  WriteBytes(Path("in.rom"), PassingChips(1));
  const Bytes old(10, 'x');
  // A directory that refuses new files, holding a file that could be written.
  ASSERT_EQ(mkdir(Path("locked").c_str(), 0755), 0);
  WriteBytes(Path("locked/out.rom"), old);
  GiveAway(Path("locked/out.rom"));
  GiveAway(Path("locked"));
  ASSERT_EQ(chmod(Path("locked").c_str(), 0555), 0);
  // A read-only file in a directory that accepts new files.
  ASSERT_EQ(mkdir(Path("open").c_str(), 0755), 0);
  WriteBytes(Path("open/out.rom"), old);
  ASSERT_EQ(chmod(Path("open/out.rom").c_str(), 0444), 0);
  GiveAway(Path("open/out.rom"));
  GiveAway(Path("open"));

  for (const std::string& out : {Path("locked/out.rom"), Path("open/out.rom")}) {
    RunResult run = RunRomtest({Path("in.rom"), out}, Unprivileged());
    EXPECT_EQ(run.out, Passed(true, 1) + CannotWrite(out));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadBytes(out), old) << out;
  }
  EXPECT_EQ(chmod(Path("locked").c_str(), 0755), 0);  // so that the directory can be removed
}

TEST_F(FaultTest, InputReplacedOrRemovedWhileRead) {
  // Whichever moment the other program picks, a run reports one whole
  // image: the old one, the new one, or none.
  const Bytes old = PassingChips(512, 1);
  const Bytes replacement = PassingChips(384, 2);
  WriteBytes(Path("next.rom"), replacement);
  const std::string x = Path("x.rom");
  const std::vector<std::string> allowed = {Passed(true, 512), Passed(false, 384)};
  for (int round = 0; round < 8; ++round) {
    WriteBytes(x, old);
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
      if (round % 2) {
        RunRomtest({Path("next.rom"), x});  // converts next.rom onto x
      } else {
        EXPECT_EQ(unlink(x.c_str()), 0);
      }
    });
    RunResult run = RunRomtest({x});
    other.join();
    const bool whole = run.out == allowed[0] || run.out == allowed[1];
    const bool gone = run.out == kBanner + CannotOpen(x);
    EXPECT_TRUE(whole || gone) << round << ": " << run.out.substr(0, 200);
    EXPECT_EQ(run.status, whole ? 0 : 1) << round;
  }
}

TEST_F(FaultTest, InputCutShortWhileMapped) {
  const Bytes image = PassingChips(2048);  // 32 MiB packed
  const std::string x = Path("x.rom");
  const std::vector<std::string> allowed = {
      Passed(true, 2048),
      kBanner + CannotOpen(x),
      kBanner + kUnpacking + CannotOpen(x),
      kBanner + kUnpacking + kIllegalSize,
  };
  for (int round = 0; round < 10; ++round) {
    WriteBytes(x, image);
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(1500 * round));
      EXPECT_EQ(truncate(x.c_str(), 1000), 0);
    });
    RunResult run = RunRomtest({x});
    other.join();
    EXPECT_EQ(run.signal, 0) << round;
    bool known = false;
    for (const std::string& out : allowed)
      known = known || run.out == out;
    EXPECT_TRUE(known) << round << ": " << run.out.substr(0, 200);
    EXPECT_EQ(run.status, run.out == allowed[0] ? 0 : 1) << round;
  }
}

TEST_F(FaultTest, LostReportInEveryForm) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  RunOptions full, closed, broken;
  full.stdoutPath = "/dev/full";
  closed.closeStdout = true;
  broken.brokenPipe = true;
  for (const RunOptions& options : {full, closed, broken}) {
    RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")}, options);
    // A broken pipe may end the run by SIGPIPE, as it ends other tools.
    EXPECT_TRUE(run.status == 1 || (options.brokenPipe && run.signal == SIGPIPE))
        << run.status << " " << run.signal;
    EXPECT_FALSE(Exists(Path("out.rom")));
  }
}

TEST_F(FaultTest, NoMemoryForTheWorkingImage) {
#if defined(ROMTEST_SANITIZED)
  GTEST_SKIP() << "the sanitizers' shadow memory needs the address space";
#endif
  const Bytes chips = PassingChips(4096);  // 64 MiB packed, 128 MiB unpacked
  WriteBytes(Path("packed.rom"), chips);
  WriteBytes(Path("unpacked.rom"),
             UnpackedForm(Bytes(chips.begin(), chips.begin() + chips.size() / 2)));
  RunOptions tight;
  tight.addressSpaceLimit = 100LL << 20;
  RunResult packed = RunRomtest({Path("packed.rom"), Path("out.rom")}, tight);
  EXPECT_EQ(packed.out, kBanner + kUnpacking);
  EXPECT_EQ(packed.status, 1);
  RunResult unpacked = RunRomtest({Path("unpacked.rom"), Path("out.rom")}, tight);
  EXPECT_EQ(unpacked.out, kBanner);
  EXPECT_EQ(unpacked.status, 1);
  EXPECT_FALSE(Exists(Path("out.rom")));
}

}  // namespace
