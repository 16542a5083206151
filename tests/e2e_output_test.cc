// End to end: writing the unpacked image to an output path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "report.h"
#include "rom_maker.h"
#include "run_tool.h"
#include "test_files.h"

namespace {

class OutputTest : public TempDirTest {
 protected:
  // Names in the test directory, to show that no stray file was left.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(dir_.c_str());
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }
};

// One passing chip, packed, holding the byte 0xA5 at position 1.
Bytes PackedChipWithA5() {
  Bytes chip = PassingChips(1);
  chip[1] = 0xA5;
  MakeChipPass(chip.data());
  return chip;
}

bool AllLowNibbles(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b <= 0x0F; });
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(OutputTest, ConvertsEitherFormToUnpacked) {
  const Bytes packed = PackedChipWithA5();
  const Bytes unpacked = UnpackedForm(PassingChips(2));
  WriteBytes(Path("packed.rom"), packed);
  WriteBytes(Path("unpacked.rom"), unpacked);
  WriteBytes(Path("old.rom"), Bytes(100000, 'x'));  // longer than the image

  RunResult run = RunRomtest({Path("packed.rom"), Path("old.rom")});
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  const Bytes out = ReadBytes(Path("old.rom"));
  EXPECT_EQ(out, UnpackedForm(packed));
  EXPECT_EQ(out.size(), 0x8000u);
  EXPECT_TRUE(AllLowNibbles(out));
  EXPECT_EQ(out[2], 0x05);
  EXPECT_EQ(out[3], 0x0A);

  run = RunRomtest({Path("unpacked.rom"), Path("new.rom")});
  EXPECT_EQ(run.out, Passed(false, 2));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("new.rom")), unpacked);
  const mode_t mask = umask(0);
  umask(mask);
  if (!TestingWindowsBuild()) {
    EXPECT_EQ(ModeOf(Path("new.rom")), 0666 & ~mask);
  }
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"new.rom", "old.rom", "packed.rom", "unpacked.rom"}));
}

TEST_F(OutputTest, ConvertsInPlace) {
  const Bytes packed = PassingChips(2);
  WriteBytes(Path("in.rom"), packed);
  RunResult run = RunRomtest({"in.rom", "in.rom"}, InDir(dir_));
  EXPECT_EQ(run.out, Passed(true, 2));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(Path("in.rom")), UnpackedForm(packed));
  EXPECT_EQ(Entries(), std::vector<std::string>{"in.rom"});
}

TEST_F(OutputTest, AFailedCheckNeverTouchesTheOutput) {
  Bytes failing = PassingChips(2);
  failing[0x4000] ^= 0x40;
  const Bytes illegal(0x4000 + 1, 0x11);
  const Bytes old(10, 'x');
  for (const Bytes& in : {failing, illegal}) {
    WriteBytes(Path("in.rom"), in);
    WriteBytes(Path("old.rom"), old);
    EXPECT_EQ(RunRomtest({Path("in.rom"), Path("old.rom")}).status, 1);
    EXPECT_EQ(ReadBytes(Path("old.rom")), old);
    EXPECT_EQ(RunRomtest({Path("in.rom"), Path("absent.rom")}).status, 1);
    EXPECT_FALSE(Exists(Path("absent.rom")));
  }
}

TEST_F(OutputTest, LostReportWritesNothing) {
  SKIP_ON_WINDOWS_BUILD();
  WriteBytes(Path("in.rom"), PassingChips(1));
  RunOptions full;
  full.stdoutPath = "/dev/full";
  EXPECT_EQ(RunRomtest({Path("in.rom"), Path("out.rom")}, full).status, 1);
  EXPECT_FALSE(Exists(Path("out.rom")));
}

TEST_F(OutputTest, PathsThatCannotBeWritten) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  std::vector<std::string> outs = {Path("missing/out.rom"), Path("dir"), Path("dir/")};
  if (!TestingWindowsBuild()) outs.push_back("/dev/full");
  for (const std::string& out : outs) {
    RunResult run = RunRomtest({Path("in.rom"), out});
    EXPECT_EQ(run.out, Passed(true, 1) + CannotWrite(out)) << out;
    EXPECT_EQ(run.status, 1) << out;
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"dir", "in.rom"}));
}

TEST_F(OutputTest, DevicesAreWrittenNotReplaced) {
  SKIP_ON_WINDOWS_BUILD();
  WriteBytes(Path("in.rom"), PassingChips(1));
  RunResult run = RunRomtest({Path("in.rom"), "/dev/null"});
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(OutputTest, WriteFailingPartWayLeavesEveryPathAsItWas) {
  SKIP_ON_WINDOWS_BUILD();
  const Bytes packed = PassingChips(2);  // 32 KiB in, 64 KiB out
  const Bytes old(1000, 'x');
  RunOptions limited = InDir(dir_);
  limited.fileSizeLimit = 40000;
  WriteBytes(Path("in.rom"), packed);
  WriteBytes(Path("old.rom"), old);
  ASSERT_EQ(symlink("old.rom", Path("link.rom").c_str()), 0);

  struct Case {
    const char* out;
    const char* file;  // what the path leads to
    Bytes before;      // empty: no file there
  };
  const Case cases[] = {
      {"old.rom", "old.rom", old},
      {"in.rom", "in.rom", packed},  // in place
      {"link.rom", "old.rom", old},
      {"new.rom", "new.rom", {}},
  };
  for (const Case& c : cases) {
    RunResult run = RunRomtest({"in.rom", c.out}, limited);
    EXPECT_EQ(run.out, Passed(true, 2) + CannotWrite(c.out)) << c.out;
    EXPECT_EQ(run.status, 1) << c.out;
    if (c.before.empty()) {
      EXPECT_FALSE(Exists(Path(c.file))) << c.out;
    } else {
      EXPECT_EQ(ReadBytes(Path(c.file)), c.before) << c.out;
    }
    EXPECT_EQ(Entries(), (std::vector<std::string>{"in.rom", "link.rom", "old.rom"})) << c.out;
  }
}

TEST_F(OutputTest, ALinkIsFollowedAndModesAreKept) {
  SKIP_ON_WINDOWS_BUILD();
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  WriteBytes(Path("sub/target.rom"), Bytes(5, 'x'));
  ASSERT_EQ(chmod(Path("sub/target.rom").c_str(), 0640), 0);
  ASSERT_EQ(symlink("sub/target.rom", Path("link.rom").c_str()), 0);
  ASSERT_EQ(symlink("sub/later.rom", Path("dangling.rom").c_str()), 0);

  EXPECT_EQ(RunRomtest({Path("in.rom"), Path("link.rom")}).status, 0);
  struct stat st;
  ASSERT_EQ(lstat(Path("link.rom").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(Path("sub/target.rom")), UnpackedForm(packed));
  EXPECT_EQ(ModeOf(Path("sub/target.rom")), 0640u);

  // A dangling link gets its target created, as an ordinary open would.
  EXPECT_EQ(RunRomtest({Path("in.rom"), Path("dangling.rom")}).status, 0);
  EXPECT_EQ(ReadBytes(Path("sub/later.rom")), UnpackedForm(packed));
  ASSERT_EQ(lstat(Path("dangling.rom").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Runs a shell command; true when it succeeded.
bool Shell(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str()) == 0;
}

// What a command printed, or "" when it failed.
std::string ShellOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.append(buffer, n);
    if (pclose(pipe) != 0) out.clear();
  }
  return out;
}

TEST_F(OutputTest, AReplacedFileKeepsItsAccessListAndAttributesButNoSetIdBits) {
  SKIP_ON_WINDOWS_BUILD();
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  const std::string out = Path("out.rom");
  WriteBytes(out, Bytes(5, 'x'));
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  if (!Shell("setfacl -m u:nobody:rw-,g::--- " + out)) {
    GTEST_SKIP() << "setfacl (package acl) missing, or no ACLs on " << dir_;
  }
  if (!Shell("setfattr -n user.origin -v dump-1 " + out)) {
    GTEST_SKIP() << "setfattr (package attr) missing, or no user attributes on " << dir_;
  }
  const std::string acl = ShellOutput("getfacl -cp " + out);
  const std::string attrs = ShellOutput("getfattr -d " + out);
  ASSERT_NE(acl.find("user:nobody:rw-"), std::string::npos) << acl;

  RunResult run = RunRomtest({Path("in.rom"), out});
  EXPECT_EQ(run.out, Passed(true, 1));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadBytes(out), UnpackedForm(packed));
  EXPECT_EQ(ShellOutput("getfacl -cp " + out), acl);  // group::--- too: no wider access
  EXPECT_EQ(ShellOutput("getfattr -d " + out), attrs);
  EXPECT_EQ(ModeOf(out) & 0707, 0600u);

  // Set-user-ID and set-group-ID belong to the old content, not the new.
  WriteBytes(Path("setid.rom"), Bytes(5, 'x'));
  ASSERT_EQ(chmod(Path("setid.rom").c_str(), 06755), 0);
  EXPECT_EQ(RunRomtest({Path("in.rom"), Path("setid.rom")}).status, 0);
  EXPECT_EQ(ModeOf(Path("setid.rom")), 0755u);
}

TEST_F(OutputTest, PipesSocketsAndStandardOutputAreWrittenDirectly) {
  SKIP_ON_WINDOWS_BUILD();
  const Bytes packed = PassingChips(2);
  WriteBytes(Path("in.rom"), packed);
  const Bytes image = UnpackedForm(packed);
  const std::string want = Passed(true, 2) + std::string(image.begin(), image.end());
  RunOptions socket;
  socket.socketStdout = true;
  for (const RunOptions& options : {RunOptions(), socket}) {
    for (const char* out : {"/dev/stdout", "/proc/self/fd/1", "/dev/fd/1"}) {
      RunResult run = RunRomtest({Path("in.rom"), out}, options);
      EXPECT_TRUE(run.out == want) << out << (options.socketStdout ? " on a socket" : " on a pipe")
                                   << ": " << run.out.substr(0, 120);
      EXPECT_EQ(run.status, 0) << out;
    }
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"in.rom"});
}

TEST_F(OutputTest, EveryPathAnOrdinaryCreateAcceptsAndNoEmptyOne) {
  SKIP_ON_WINDOWS_BUILD();
  const Bytes packed = PassingChips(1);
  WriteBytes(Path("in.rom"), packed);
  // Sixteen directories of 250 characters, then names that bring the whole
  // relative path to 4,088 and 4,095 bytes, the longest that open takes.
  std::string deep;
  for (int i = 0; i < 16; ++i) {
    deep += std::string(250, 'a' + i) + "/";
    ASSERT_EQ(mkdir(Path(deep).c_str(), 0755), 0);
  }
  for (std::size_t length : {4088u, 4095u}) {
    const std::string out = deep + std::string(length - deep.size(), 'z');
    ASSERT_EQ(out.size(), length);
    for (int run = 0; run < 2; ++run) {  // a new file, then one replaced
      RunResult result = RunRomtest({Path("in.rom"), out}, InDir(dir_));
      EXPECT_EQ(result.out, Passed(true, 1)) << length;
      EXPECT_EQ(result.status, 0) << length;
    }
    // The whole path from / is too long to open: read it from its directory.
    const int dir = open(Path(deep).c_str(), O_RDONLY | O_DIRECTORY);
    const int fd = openat(dir, out.substr(deep.size()).c_str(), O_RDONLY);
    Bytes written(0x8000 + 1);
    EXPECT_EQ(read(fd, written.data(), written.size()), 0x8000) << length;
    written.pop_back();
    EXPECT_EQ(written, UnpackedForm(packed)) << length;
    close(fd);
    close(dir);
  }

  RunResult empty = RunRomtest({"in.rom", ""}, InDir(dir_));
  EXPECT_EQ(empty.out, Passed(true, 1) + CannotWrite(""));
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{std::string(250, 'a'), "in.rom"}));
}

}  // namespace
