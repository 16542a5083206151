// End to end, Windows build only (under Wine): names in any script and the
// look-alikes that an 8-bit code page makes of them, devices and streams,
// the attributes of a replaced file, another program's open handle, an
// input cut short while read, Ctrl+C during the write, and long paths.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report.h"
#include "rom_maker.h"
#include "run_tool.h"
#include "test_files.h"

namespace {

std::string Helper(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? value : "";
}

// Another Windows program holding a file open, until Release or the end.
class HeldOpen {
 public:
  HeldOpen(const char* mode, const std::string& path) {
    const std::string helper = Helper("ROMTEST_HOLD_OPEN");
    int in[2], out[2];
    if (helper.empty() || pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      const std::string wrapper = Wrapper();
      execlp(wrapper.c_str(), wrapper.c_str(), helper.c_str(), mode, path.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    // Not handed on to romtest, which would keep the helper's input open.
    fcntl(in[1], F_SETFD, FD_CLOEXEC);
    stdin_ = in[1];
    std::string said;
    char c;
    while (said.find("ready") == std::string::npos && read(out[0], &c, 1) == 1)
      said += c;
    ready_ = said.find("ready") != std::string::npos;
    close(out[0]);
  }
  ~HeldOpen() { Release(); }
  bool ready() const { return ready_; }
  // Lets go of the file, once the program has ended.
  void Release() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
};

// The names in a directory, sorted.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (const dirent* entry = d ? readdir(d) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (d) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool HasEntryStartingWith(const std::string& dir, const std::string& prefix) {
  for (const std::string& name : Entries(dir))
    if (name.rfind(prefix, 0) == 0) return true;
  return false;
}

// Waits up to 20 s for an entry of dir that starts with prefix.
bool WaitForEntry(const std::string& dir, const std::string& prefix) {
  for (int i = 0; i < 20000; ++i) {
    if (HasEntryStartingWith(dir, prefix)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class WindowsTest : public TempDirTest {
 protected:
  void SetUp() override {
    if (!TestingWindowsBuild()) GTEST_SKIP() << "needs a Windows build (ROMTEST_WRAPPER)";
    TempDirTest::SetUp();
  }
  std::string Attributes(const std::string& path, const std::string& set = "",
                         const RunOptions& options = {}) {
    RunOptions run = options;
    run.program = attributes_;
    std::vector<std::string> argv = {attributes_, path};
    if (!set.empty()) argv.push_back(set);
    const RunResult result = RunWithArgv(argv, run);
    EXPECT_EQ(result.status, 0) << "attributes " << path << " " << set;
    return result.out.substr(0, result.out.find('\n'));
  }
  std::string attributes_ = Helper("ROMTEST_ATTRIBUTES");
};

// --- Names ---

// With the manifest, the code page is UTF-8: a name in any script is opened,
// created and printed as typed.
TEST_F(WindowsTest, NamesInAnyScriptAreReadWrittenAndPrintedAsTyped) {
  const Bytes packed = PassingChips(2);
  for (const std::string name : {"Проверка", "测试", "🎮", "café", "Łódź"}) {
    WriteBytes(Path(name + ".rom"), packed);
    RunResult run = RunRomtest({name + ".rom", "out-" + name + ".rom"}, InDir(dir_));
    EXPECT_EQ(run.out, Passed(true, 2)) << name;
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(ReadBytes(Path("out-" + name + ".rom")), UnpackedForm(packed)) << name;
    RunResult missing = RunRomtest({"нет-" + name + ".rom"}, InDir(dir_));
    EXPECT_EQ(missing.out, kBanner + CannotOpen("нет-" + name + ".rom")) << name;
    EXPECT_EQ(missing.status, 1) << name;
  }
}

// Without the manifest (older Windows), the code page is 1252: a name that
// it cannot hold reaches the program as a look-alike or as '?'. Such a name
// is refused, and no other file is read, written or created.
TEST_F(WindowsTest, LookAlikesOfAnEightBitCodePageAreNeverOpened) {
  const std::string ansi = Helper("ROMTEST_ANSI_EXE");
  if (ansi.empty()) GTEST_SKIP() << "needs ROMTEST_ANSI_EXE, romtest.exe without its manifest";
  const Bytes packed = PassingChips(1);
  const Bytes keep(10, 'k');
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"good.rom", "Łout.rom"}, Passed(true, 1) + CannotWrite("Lout.rom")},
      {{"Ł.rom"}, kBanner + CannotOpen("L.rom")},
      {{"Ł.rom", "L.rom"}, kBanner + CannotOpen("L.rom")},
      {{"L.rom", "Ł.rom"}, kBanner + CannotOpen("L.rom")},  // L.rom is also a look-alike's
      {{"good.rom", "sub／x.rom"}, Passed(true, 1) + CannotWrite("sub/x.rom")},
      {{"Проверка.rom"}, kBanner + CannotOpen("????????.rom")},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& arg : c.args)
      what += arg + " ";
    WriteBytes(Path("good.rom"), packed);
    WriteBytes(Path("L.rom"), packed);
    WriteBytes(Path("Lout.rom"), keep);
    WriteBytes(Path("Проверка.rom"), packed);
    std::filesystem::create_directory(Path("sub"));
    RunOptions options = InDir(dir_);
    options.program = ansi;
    RunResult run = RunRomtest(c.args, options);
    EXPECT_EQ(run.out, c.out) << what;
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_EQ(ReadBytes(Path("Lout.rom")), keep) << what;
    EXPECT_EQ(Entries(dir_),
              (std::vector<std::string>{"L.rom", "Lout.rom", "good.rom", "sub", "Проверка.rom"}))
        << what;
    EXPECT_TRUE(Entries(Path("sub")).empty()) << what;
  }
  // A name that the code page does hold works as ever.
  WriteBytes(Path("café.rom"), packed);
  RunOptions options = InDir(dir_);
  options.program = ansi;
  RunResult run = RunRomtest({"café.rom", "café-out.rom"}, options);
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("café-out.rom")), UnpackedForm(packed));

  // With the manifest the same names are simply names.
  WriteBytes(Path("good.rom"), packed);
  RunResult utf8 = RunRomtest({"good.rom", "Łout.rom"}, InDir(dir_));
  EXPECT_EQ(utf8.out, Passed(true, 1));
  EXPECT_EQ(utf8.status, 0);
  EXPECT_EQ(ReadBytes(Path("Łout.rom")), UnpackedForm(packed));
  EXPECT_EQ(ReadBytes(Path("Lout.rom")), keep);
}

// --- Devices and streams ---

TEST_F(WindowsTest, DevicesAndStreamsAreWrittenDirectly) {
  const Bytes packed = PassingChips(2);
  WriteBytes(Path("in.rom"), packed);
  const Bytes old(10, 'x');
  WriteBytes(Path("x.rom"), old);
  for (const std::string device : {"NUL", "nul", "nul.txt", "\\\\.\\NUL", "C:\\NUL"}) {
    RunResult run = RunRomtest({"in.rom", device}, InDir(dir_));
    EXPECT_EQ(run.out, Passed(true, 2)) << device;
    EXPECT_EQ(run.status, 0) << device;
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "x.rom"})) << device;
  }
  // A stream of x.rom, never a temporary file split off at the colon. Wine
  // keeps no streams: its stream is a file of that very name.
  RunResult run = RunRomtest({"in.rom", "x.rom:s"}, InDir(dir_));
  EXPECT_EQ(run.out, Passed(true, 2));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("x.rom")), old);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "x.rom", "x.rom:s"}));
  EXPECT_EQ(ReadBytes(Path("x.rom:s")), UnpackedForm(packed));
}

// --- What the replaced file had ---

TEST_F(WindowsTest, HiddenAndSystemFilesAreReplacedAndStaySo) {
  if (attributes_.empty()) GTEST_SKIP() << "needs ROMTEST_ATTRIBUTES, the attributes helper";
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  for (const std::string set : {"2", "4", "6"}) {  // hidden, system, both
    WriteBytes(Path("out.rom"), Bytes(10, 'x'));
    const std::string before = Attributes(Path("out.rom"), set);
    RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
    EXPECT_EQ(run.out, Passed(true, 1)) << set;
    EXPECT_EQ(run.status, 0) << set;
    EXPECT_EQ(ReadBytes(Path("out.rom")), UnpackedForm(packed)) << set;
    EXPECT_EQ(Attributes(Path("out.rom")), before) << set;
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "out.rom"})) << set;
  }
}

TEST_F(WindowsTest, LinksAreFollowed) {
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  WriteBytes(Path("real.rom"), Bytes(10, 'x'));
  ASSERT_EQ(symlink("real.rom", Path("link.rom").c_str()), 0);
  RunResult run = RunRomtest({Path("in.rom"), Path("link.rom")});
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("real.rom")), UnpackedForm(packed));
  struct stat st;
  ASSERT_EQ(lstat(Path("link.rom").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// --- Another program's open handle ---

class HeldOpenTest : public WindowsTest {
 protected:
  void SetUp() override {
    if (Helper("ROMTEST_HOLD_OPEN").empty()) GTEST_SKIP() << "needs ROMTEST_HOLD_OPEN";
    WindowsTest::SetUp();
  }
};

TEST_F(HeldOpenTest, InputOpenForWritingElsewhereCannotBeOpened) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  HeldOpen writer("write", Path("in.rom"));
  ASSERT_TRUE(writer.ready());
  RunResult run = RunRomtest({Path("in.rom")});
  EXPECT_EQ(run.out, kBanner + CannotOpen(Path("in.rom")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(HeldOpenTest, OutputOpenElsewhereIsLeftAsItWas) {
  const Bytes old(10, 'x');
  WriteBytes(Path("in.rom"), UnpackedForm(PassingChips(1)));
  WriteBytes(Path("out.rom"), old);
  {
    HeldOpen reader("read", Path("out.rom"));
    ASSERT_TRUE(reader.ready());
    RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
    EXPECT_EQ(run.out, Passed(false, 1) + CannotWrite(Path("out.rom")));
    EXPECT_EQ(run.status, 1);
  }
  EXPECT_EQ(ReadBytes(Path("out.rom")), old);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "out.rom"}));
}

// A virus scanner or an indexer holds a file for a moment: the replace
// waits for it.
TEST_F(HeldOpenTest, OutputOpenElsewhereForAMomentIsReplaced) {
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  WriteBytes(Path("out.rom"), Bytes(10, 'x'));
  HeldOpen reader("read", Path("out.rom"));
  ASSERT_TRUE(reader.ready());
  RunOptions options;
  options.whileRunning = [&](pid_t) {
    // The image is in its temporary file: the replace is being tried.
    EXPECT_TRUE(WaitForEntry(dir_, ".out.rom."));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    reader.Release();
  };
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")}, options);
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("out.rom")), UnpackedForm(packed));
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "out.rom"}));
}

// --- Faults and interruption ---

// Wine maps the file as the host does; the host's truncate cuts it short
// under the view, and the pages past the cut cannot be read.
TEST_F(WindowsTest, InputCutShortWhileReadIsRefusedNeverACrash) {
  const Bytes image = UnpackedForm(PassingChips(8192));  // 256 MiB, all read
  const std::string x = Path("x.rom");
  int refused = 0;
  for (int round = 0; round < 3; ++round) {
    WriteBytes(x, image);
    bool cut = false;
    RunOptions options;
    options.whileRunning = [&](pid_t pid) {
      // Once the file is mapped, its read has begun.
      const std::string maps = "/proc/" + std::to_string(pid) + "/maps";
      for (int i = 0; i < 20000 && !cut; ++i) {
        std::ifstream in(maps);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (text.find(x) != std::string::npos) {
          cut = truncate(x.c_str(), 1000) == 0;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    };
    RunResult run = RunRomtest({x}, options);
    ASSERT_TRUE(cut) << "the input never showed as mapped";
    const bool refusal = run.out == kBanner + CannotOpen(x);
    refused += refusal;
    EXPECT_TRUE(refusal || run.out == Passed(false, 8192))
        << round << ": " << run.out.substr(0, 300);
    EXPECT_EQ(run.status, refusal ? 1 : 0) << round;
  }
  std::printf("%d of 3 runs refused the read\n", refused);
  EXPECT_GT(refused, 0) << "no run was cut short while it read";
}

// Ctrl+C (Wine makes SIGINT a CTRL_C_EVENT) while the image is written: the
// temporary file goes, the target stays as it was, and the run fails.
TEST_F(WindowsTest, CtrlCDuringTheWriteLeavesNothingBehind) {
  WriteBytes(Path("in.rom"), PassingChips(8192));  // 128 MiB in, 256 MiB out
  const Bytes old(10, 'x');
  WriteBytes(Path("out.rom"), old);
  bool sent = false;
  RunOptions options;
  options.whileRunning = [&](pid_t pid) {
    if (WaitForEntry(dir_, ".out.rom.")) sent = kill(pid, SIGINT) == 0;
  };
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")}, options);
  ASSERT_TRUE(sent) << "the temporary file never appeared";
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("out.rom")), old);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"in.rom", "out.rom"}));
}

// Temporary files that interrupted runs of older versions left (or that
// anything else put there) never stand in the way.
TEST_F(WindowsTest, StaleTemporaryNamesAreNoObstacle) {
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  std::vector<std::string> expected = {"in.rom", "out.rom"};
  for (int n = 0; n < 1000; ++n) {
    expected.push_back(".out.rom.new" + std::to_string(n));
    WriteBytes(Path(expected.back()), Bytes(1, 'x'));
  }
  std::sort(expected.begin(), expected.end());
  for (int round = 0; round < 3; ++round) {
    RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
    EXPECT_EQ(run.out, Passed(true, 1)) << round;
    EXPECT_EQ(run.status, 0) << round;
    EXPECT_EQ(ReadBytes(Path("out.rom")), UnpackedForm(packed)) << round;
  }
  EXPECT_EQ(Entries(dir_), expected);
}

// --- Long paths ---

// The temporary name never makes a path too long that the target's is not:
// the target's full path (Z:\tmp\...) up to the last length the system's
// usual limit allows. Wine takes no longer ones.
TEST_F(WindowsTest, TargetsUpToTheUsualPathLimitAreWritten) {
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  for (const std::string name : {"out.rom", "o"}) {
    for (std::size_t length : {240u, 255u, 257u, 259u, 300u}) {
      // Z: dir \ d...d \ name, in directories of at most 100 characters.
      const std::size_t used = 2 + dir_.size() + 1 + name.size();
      ASSERT_LT(used + 2, length);
      std::string sub = dir_;
      for (std::size_t left = length - used; left > 0;) {
        const std::size_t part = left - 1 > 100 ? 100 : left - 1;
        sub += "/" + std::string(part, 'd');
        left -= part + 1;
      }
      std::filesystem::create_directories(sub);
      const std::string out = sub + "/" + name;
      RunResult run = RunRomtest({Path("in.rom"), out});
      std::vector<std::string> left = Entries(sub);
      if (length < 260) {
        EXPECT_EQ(run.out, Passed(true, 1)) << length << " " << name;
        EXPECT_EQ(run.status, 0) << length << " " << name;
        EXPECT_EQ(left, std::vector<std::string>{name}) << length << " " << name;
      } else {
        // Where long paths are enabled the target is written; otherwise
        // it is refused, and nothing is left either way.
        const bool written = run.status == 0 && run.out == Passed(true, 1);
        const bool refused = run.status == 1 && run.out == Passed(true, 1) + CannotWrite(out);
        EXPECT_TRUE(written || refused) << length << ": " << run.out;
        EXPECT_EQ(left, written ? std::vector<std::string>{name} : std::vector<std::string>{})
            << length << " " << name;
        std::printf("a %zu-character output path was %s\n", length,
                    written ? "written" : "refused");
      }
      std::filesystem::remove_all(sub.substr(0, sub.find('/', dir_.size() + 1)));
    }
  }
}

// --- As an ordinary user ---

// Wine run as root writes read-only files, as root may: these runs are made
// as nobody (65534), with a Wine prefix of nobody's own that is made once per
// test run, and copies of the programs in a directory that nobody can reach.
class NobodysWine : public ::testing::Environment {
 public:
  // Empty when all is set up; else why it could not be.
  const std::string& Ready() {
    std::call_once(once_, [this] { problem_ = SetUpOnce(); });
    return problem_;
  }
  const std::string& dir() const { return dir_; }
  RunOptions Options(const std::string& program) const {
    RunOptions options;
    options.unprivileged = true;
    options.program = program;
    options.environment = environment_;
    options.cwd = dir_;  // Wine needs a working directory that nobody can reach
    return options;
  }
  void TearDown() override {
    if (!serving_) return;
    std::vector<std::string> kill = {"wineserver", "-k"};
    RunAsNobody(kill);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string SetUpOnce() {
    if (geteuid() != 0) return "";  // the tests run as an ordinary user already
    for (const std::string& base : {TempBase(), std::string("/tmp"), std::string("/var/tmp")}) {
      if (!NobodyCanReach(base)) continue;
      std::string pattern = base + "/romtest-wine-XXXXXX";
      if (!mkdtemp(pattern.data())) continue;
      dir_ = pattern;
      break;
    }
    if (dir_.empty()) return "no directory that nobody (65534) can reach";
    if (chown(dir_.c_str(), kNobody, kNobody) != 0 || chmod(dir_.c_str(), 0755) != 0) {
      return "cannot hand " + dir_ + " to nobody";
    }
    environment_ = {"WINEPREFIX=" + dir_ + "/prefix", "HOME=" + dir_, "WINEDEBUG=-all"};
    RunOptions options = Options("cmd");
    options.timeoutSeconds = 300;
    const auto start = std::chrono::steady_clock::now();
    const RunResult made = RunWithArgv({"cmd", "/c", "exit"}, options);
    serving_ = true;  // whatever part of it was made is removed at the end
    if (made.status != 0) return "nobody's Wine prefix could not be made";
    // One server for all of nobody's runs, so that each starts quickly
    // (it may still be running from the prefix's making: either will do).
    std::vector<std::string> serve = {"wineserver", "-p"};
    RunAsNobody(serve);
    std::printf("made nobody's Wine prefix in %.0f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return "";
  }
  int RunAsNobody(const std::vector<std::string>& argv) const {
    std::vector<std::string> env = environment_;
    for (char** entry = environ; *entry; ++entry)
      env.push_back(*entry);  // the first of a name counts
    std::vector<char*> args, envp;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& entry : env)
      envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
      execvpe(args[0], args.data(), envp.data());
      _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
  }
  std::once_flag once_;
  std::string problem_;
  std::string dir_;
  std::vector<std::string> environment_;
  bool serving_ = false;
};

NobodysWine* const nobodysWine =
    static_cast<NobodysWine*>(::testing::AddGlobalTestEnvironment(new NobodysWine));

class UnprivilegedWindowsTest : public WindowsTest {
 protected:
  void SetUp() override {
    if (!TestingWindowsBuild()) GTEST_SKIP() << "needs a Windows build (ROMTEST_WRAPPER)";
    if (attributes_.empty()) GTEST_SKIP() << "needs ROMTEST_ATTRIBUTES, the attributes helper";
    const std::string problem = nobodysWine->Ready();
    if (!problem.empty()) GTEST_SKIP() << problem;
    if (geteuid() != 0) return WindowsTest::SetUp();
    MakeDirIn(nobodysWine->dir());
    ASSERT_EQ(chown(dir_.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    romtest_ = Path(".romtest.exe");
    std::filesystem::copy_file(RomtestPath(), romtest_);
    const std::string attributes = Path(".attributes.exe");
    std::filesystem::copy_file(attributes_, attributes);
    attributes_ = attributes;
  }
  // Makes a file as nobody would have made it.
  void WriteAsNobody(const std::string& path, const Bytes& bytes) {
    WriteBytes(path, bytes);
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0) << path;
    }
  }
  RunOptions AsNobody(const std::string& program) const {
    if (geteuid() != 0) {
      RunOptions options;
      options.program = program;
      return options;
    }
    return nobodysWine->Options(program);
  }
  std::string romtest_ = RomtestPath();
};

// As attrib +r sets it: the file is refused, and stays read-only.
TEST_F(UnprivilegedWindowsTest, ReadOnlyTargetIsRefusedAndStaysSo) {
  WriteAsNobody(Path("in.rom"), PassingChips(1));
  const Bytes old(10, 'x');
  WriteAsNobody(Path("out.rom"), old);
  const std::string readOnly = Attributes(Path("out.rom"), "1", AsNobody(attributes_));
  EXPECT_EQ(std::strtoul(readOnly.c_str(), nullptr, 16) & 1, 1u) << readOnly;
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")}, AsNobody(romtest_));
  EXPECT_EQ(run.out, Passed(true, 1) + CannotWrite(Path("out.rom")));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadBytes(Path("out.rom")), old);
  EXPECT_EQ(Attributes(Path("out.rom"), "", AsNobody(attributes_)), readOnly);
  EXPECT_FALSE(HasEntryStartingWith(dir_, ".out.rom."));
}

// A directory that refuses new files, holding a file that may be written:
// the file is written in place, as a plain copy writes it.
TEST_F(UnprivilegedWindowsTest, WritableFileInALockedDirectoryIsWrittenInPlace) {
  const Bytes packed = PassingChips(2);
  WriteAsNobody(Path("in.rom"), packed);
  ASSERT_EQ(mkdir(Path("locked").c_str(), 0755), 0);
  WriteAsNobody(Path("locked/out.rom"), Bytes(10, 'x'));
  ASSERT_EQ(chmod(Path("locked").c_str(), 0555), 0);
  RunResult run = RunRomtest({Path("in.rom"), Path("locked/out.rom")}, AsNobody(romtest_));
  EXPECT_EQ(run.out, Passed(true, 2));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("locked/out.rom")), UnpackedForm(packed));
  EXPECT_EQ(Entries(Path("locked")), std::vector<std::string>{"out.rom"});
  ASSERT_EQ(chmod(Path("locked").c_str(), 0755), 0);
}

}  // namespace
