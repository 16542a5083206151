// End to end: what the world can do to a run. Permissions, other programs
// changing the input meanwhile, unreadable pages, signals, a lost report,
// too little memory.
#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

  // Names in the test directory that start with prefix.
  std::vector<std::string> EntriesStartingWith(const std::string& prefix) const {
    std::vector<std::string> names;
    DIR* dir = opendir(dir_.c_str());
    while (const dirent* entry = dir ? readdir(dir) : nullptr) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    if (dir) closedir(dir);
    return names;
  }
};

// As root, the runs are made as nobody, from a directory and with a copy of
// romtest that nobody can reach (the build may sit in a private directory).
class UnprivilegedTest : public FaultTest {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS_BUILD();
    program_ = RomtestPath();
    if (geteuid() != 0) return TempDirTest::SetUp();
    std::vector<std::string> bases = {TempBase(), "/tmp", "/var/tmp", "/dev/shm"};
    for (const std::string& base : bases) {
      if (!NobodyCanReach(base)) continue;
      MakeDirIn(base);
      ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
      program_ = Path(".romtest");
      std::filesystem::copy_file(RomtestPath(), program_);
      ASSERT_EQ(chmod(program_.c_str(), 0755), 0);
      return;
    }
    GTEST_SKIP() << "no directory that nobody (uid 65534) can reach among $TMPDIR, /tmp, "
                    "/var/tmp, /dev/shm";
  }

  // Hands a file over to nobody, when the runs are made as nobody.
  void GiveAway(const std::string& path) {
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0) << path;
    }
  }
  RunOptions Unprivileged() const {
    RunOptions options;
    options.unprivileged = true;
    options.program = program_;
    return options;
  }
  std::string program_;
};

TEST_F(UnprivilegedTest, UnreadableInput) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  ASSERT_EQ(chmod(Path("in.rom").c_str(), 0), 0);
  // The same file, readable: the run does reach it.
  WriteBytes(Path("readable.rom"), PassingChips(1));
  EXPECT_EQ(RunRomtest({Path("readable.rom")}, Unprivileged()).out, Passed(true, 1));
  RunResult run = RunRomtest({Path("in.rom")}, Unprivileged());
  EXPECT_EQ(run.out, kBanner + CannotOpen(Path("in.rom")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(UnprivilegedTest, ReadOnlyOutputIsRefused) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  const Bytes old(10, 'x');
  WriteBytes(Path("out.rom"), old);
  ASSERT_EQ(chmod(Path("out.rom").c_str(), 0444), 0);
  GiveAway(Path("out.rom"));
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")}, Unprivileged());
  EXPECT_EQ(run.out, Passed(true, 1) + CannotWrite(Path("out.rom")));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadBytes(Path("out.rom")), old);
}

// Where no new file can take the target's place, the target is written in
// place, as a plain copy writes it.
TEST_F(UnprivilegedTest, WritableFilesThatCannotBeReplacedAreWrittenInPlace) {
  const Bytes packed = PassingChips(2);
  WriteBytes(Path("in.rom"), packed);
  // A directory that refuses new files, holding a file that may be written.
  ASSERT_EQ(mkdir(Path("locked").c_str(), 0755), 0);
  WriteBytes(Path("locked/out.rom"), Bytes(10, 'x'));
  GiveAway(Path("locked/out.rom"));
  ASSERT_EQ(chmod(Path("locked").c_str(), 0555), 0);
  std::vector<std::string> outs = {Path("locked/out.rom")};
  // Someone else's world-writable file in a sticky directory such as /tmp:
  // the rename over it is refused.
  if (geteuid() == 0) {
    ASSERT_EQ(mkdir(Path("sticky").c_str(), 0755), 0);
    ASSERT_EQ(chmod(Path("sticky").c_str(), 01777), 0);
    WriteBytes(Path("sticky/out.rom"), Bytes(10, 'x'));
    ASSERT_EQ(chmod(Path("sticky/out.rom").c_str(), 0666), 0);
    outs.push_back(Path("sticky/out.rom"));
  } else {
    std::printf("the sticky-directory case needs root, to own a file as another user\n");
  }
  for (const std::string& out : outs) {
    RunResult run = RunRomtest({Path("in.rom"), out}, Unprivileged());
    EXPECT_EQ(run.out, Passed(true, 2)) << out;
    EXPECT_EQ(run.status, 0) << out;
    EXPECT_EQ(ReadBytes(out), UnpackedForm(packed)) << out;
  }
  ASSERT_EQ(chmod(Path("locked").c_str(), 0755), 0);  // so that it can be listed and removed
  for (const std::string& out : outs) {               // nothing left beside the output
    const std::filesystem::path dir = std::filesystem::path(out).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      EXPECT_EQ(entry.path().filename(), "out.rom") << dir;
  }
}

TEST_F(FaultTest, BindMountedFileIsWrittenInPlace) {
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  WriteBytes(Path("real.rom"), Bytes(10, 'x'));
  WriteBytes(Path("out.rom"), Bytes(3, 'y'));
  if (mount(Path("real.rom").c_str(), Path("out.rom").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here: " << std::strerror(errno);
  }
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
  umount(Path("out.rom").c_str());
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("real.rom")), UnpackedForm(packed));
  EXPECT_TRUE(EntriesStartingWith(".").empty());
}

// Starts a shell command, as another program changing a file would.
pid_t StartShell(const std::string& command) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

void Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other program failed";
}

// Another program rewrites the input while romtest reads it. Every state the
// file passes through is empty or a run of passing chips, perhaps with part
// of a chip at its end: whatever the moment, the run gives the verdict on one
// of those states (all chips pass, or an illegal size) or refuses the read,
// and never prints a "Fail" line.
TEST_F(FaultTest, InputRewrittenWhileReadNeverGivesAFalseVerdict) {
  const Bytes image = PassingChips(4096, 1);  // 64 MiB packed
  WriteBytes(Path("same.rom"), image);
  WriteBytes(Path("other.rom"), PassingChips(4096, 2));
  WriteBytes(Path("half.rom"), Bytes(image.begin(), image.begin() + image.size() / 2));
  const std::string x = Path("x.rom");
  struct Case {
    const char* name;
    std::string command;
  };
  const Case cases[] = {
      {"cp of the same bytes", "cp " + Path("same.rom") + " " + x},
      {"cp of another image", "cp " + Path("other.rom") + " " + x},
      {"truncated, then written back", ": >" + x + " && cat " + Path("same.rom") + " >" + x},
      {"appended to", "cat " + Path("half.rom") + " >>" + x},
  };
  const std::vector<std::string> refusals = {kBanner + CannotOpen(x),
                                             kBanner + kUnpacking + CannotOpen(x)};
  for (const Case& c : cases) {
    int refused = 0, whole = 0;
    for (int round = 0; round < 12; ++round) {
      WriteBytes(x, image);
      RunOptions options;
      options.whileRunning = [&](pid_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000 * round));
        Wait(StartShell(c.command));
      };
      RunResult run = RunRomtest({x}, options);
      unsigned chips = 0;
      for (std::size_t at = run.out.find("ROM Chip "); at != std::string::npos;
           at = run.out.find("ROM Chip ", at + 1))
        ++chips;
      const bool passed = chips > 0 && run.out == Passed(true, chips);
      const bool illegal = run.out == kBanner + kUnpacking + kIllegalSize;
      const bool refusal = run.out == refusals[0] || run.out == refusals[1];
      refused += refusal;
      whole += passed && (chips == 4096 || chips == 6144);
      EXPECT_TRUE(passed || illegal || refusal)
          << c.name << ", round " << round << ": " << run.out.substr(0, 300);
      EXPECT_EQ(run.status, passed ? 0 : 1) << c.name << ", round " << round;
      EXPECT_EQ(run.out.find("Fail"), std::string::npos) << c.name << ", round " << round;
    }
    std::printf("%s: %d of 12 runs refused the read, %d gave the verdict on a whole image\n",
                c.name, refused, whole);
  }
}

TEST_F(FaultTest, InputReplacedOrRemovedWhileRead) {
  // Whichever moment the other program picks, a run reports one whole
  // image (the old one or the new one) or refuses the read.
  const Bytes old = PassingChips(512, 1);
  const Bytes replacement = PassingChips(384, 2);
  WriteBytes(Path("next.rom"), replacement);
  const std::string x = Path("x.rom");
  const std::vector<std::string> allowed = {Passed(true, 512), Passed(false, 384)};
  for (int round = 0; round < 8; ++round) {
    WriteBytes(x, old);
    RunOptions options;
    options.whileRunning = [&](pid_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
      if (round % 2) {
        RunRomtest({Path("next.rom"), x});  // converts next.rom onto x
      } else {
        EXPECT_EQ(unlink(x.c_str()), 0);
      }
    };
    RunResult run = RunRomtest({x}, options);
    const bool whole = run.out == allowed[0] || run.out == allowed[1];
    const bool refused =
        run.out == kBanner + CannotOpen(x) || run.out == kBanner + kUnpacking + CannotOpen(x);
    EXPECT_TRUE(whole || refused) << round << ": " << run.out.substr(0, 200);
    EXPECT_EQ(run.status, whole ? 0 : 1) << round;
  }
}

TEST_F(FaultTest, InputCutShortWhileMapped) {
  const Bytes image = PassingChips(2048);  // 32 MiB packed
  const std::string x = Path("x.rom");
  const std::vector<std::string> allowed = {
      Passed(true, 2048), kBanner + CannotOpen(x), kBanner + kUnpacking + CannotOpen(x),
      kBanner + kUnpacking + kIllegalSize,  // cut before the open
  };
  for (int round = 0; round < 10; ++round) {
    WriteBytes(x, image);
    RunOptions options;
    options.whileRunning = [&](pid_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(1500 * round));
      EXPECT_EQ(truncate(x.c_str(), 1000), 0);
    };
    RunResult run = RunRomtest({x}, options);
    EXPECT_EQ(run.signal, 0) << round;
    bool known = false;
    for (const std::string& out : allowed)
      known = known || run.out == out;
    EXPECT_TRUE(known) << round << ": " << run.out.substr(0, 200);
    EXPECT_EQ(run.status, run.out == allowed[0] ? 0 : 1) << round;
  }
}

// A file system of the tests' own whose one file has a page that cannot be
// read: the run must end, and refuse the read.
TEST_F(FaultTest, UnreadablePageIsReportedNeverReadAsZerosOrHungOn) {
  const char* fs = ROMTEST_EIO_FS;
  if (!*fs) GTEST_SKIP() << "eio_fs was not built (no libfuse3-dev, or a cross build)";
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
  const std::string mnt = Path("mnt");
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  struct Case {
    unsigned long long bad;
    std::string out;
  };
  const std::string image = mnt + "/image.rom";
  // First a file whose bad page lies past its end: the file system works.
  const Case cases[] = {
      {1ULL << 40, Passed(true, 64)},
      {300000, kBanner + CannotOpen(image)},
      {0, kBanner + CannotOpen(image)},
  };
  for (const Case& c : cases) {
    const pid_t server = fork();
    if (server == 0) {
      const std::string bad = std::to_string(c.bad);
      execl(fs, fs, mnt.c_str(), "64", bad.c_str(), nullptr);
      _exit(127);
    }
    bool mounted = false;
    for (int i = 0; i < 100 && !mounted; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      mounted = Exists(image);
    }
    if (!mounted) {
      kill(server, SIGTERM);
      waitpid(server, nullptr, 0);
      GTEST_SKIP() << "cannot mount a FUSE file system here";
    }
    RunOptions options;
    options.timeoutSeconds = 60;
    RunResult run = RunRomtest({image}, options);
    EXPECT_EQ(run.signal, 0) << c.bad << ": a run that hangs ends by SIGALRM (14)";
    EXPECT_EQ(run.out, c.out) << c.bad;
    EXPECT_EQ(run.status, c.out == Passed(true, 64) ? 0 : 1) << c.bad;
    if (umount2(mnt.c_str(), MNT_DETACH) != 0) {
      EXPECT_EQ(std::system(("fusermount3 -u " + mnt).c_str()), 0);
    }
    waitpid(server, nullptr, 0);
  }
}

// Ctrl-C, a kill or a dropped session while the image is written: the
// temporary file goes, the target stays as it was, and the run ends by the
// signal as the shell expects.
TEST_F(FaultTest, SignalsDuringTheWriteLeaveNothingBehind) {
  const Bytes packed = PassingChips(8192);  // 128 MiB in, 256 MiB out
  WriteBytes(Path("in.rom"), packed);
  const Bytes old(10, 'x');
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    WriteBytes(Path("out.rom"), old);
    bool sent = false;
    RunOptions options = InDir(dir_);
    options.whileRunning = [&](pid_t pid) {
      for (int i = 0; i < 2000 && !sent; ++i) {
        if (!EntriesStartingWith(".out.rom.").empty()) {
          kill(pid, signo);
          sent = true;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    };
    RunResult run = RunRomtest({"in.rom", "out.rom"}, options);
    if (!sent) {
      ADD_FAILURE() << "the temporary file never appeared; signal " << signo;
      continue;
    }
    EXPECT_EQ(run.signal, signo) << "status " << run.status;
    EXPECT_EQ(ReadBytes(Path("out.rom")), old) << signo;
    EXPECT_TRUE(EntriesStartingWith(".").empty()) << signo;
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

// A check needs the file's mapping and little more; a conversion needs
// room for the working image too.
TEST_F(FaultTest, AddressSpaceLimits) {
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

  RunOptions justAbove;
  justAbove.addressSpaceLimit = (128LL + 96) << 20;
  RunResult check = RunRomtest({Path("unpacked.rom")}, justAbove);
  EXPECT_EQ(check.out, Passed(false, 2048));
  EXPECT_EQ(check.status, 0);
  // One byte past a whole chip, in a file as long as the largest image: the
  // size rule needs no room beyond the mapping.
  WriteSparse(Path("big.rom"), 0xFFFF8001ULL);
  RunOptions big;
  big.addressSpaceLimit = static_cast<long long>(0xFFFF8001ULL) + (96LL << 20);
  RunResult illegal = RunRomtest({Path("big.rom"), Path("out.rom")}, big);
  EXPECT_EQ(illegal.out, kBanner + kIllegalSize);
  EXPECT_EQ(illegal.status, 1);
}

}  // namespace
