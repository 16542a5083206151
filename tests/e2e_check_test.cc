// End to end: the checksum test, run on images made in a temporary directory.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "report.h"
#include "rom_maker.h"
#include "run_tool.h"
#include "test_files.h"

namespace {

using CheckTest = TempDirTest;

TEST_F(CheckTest, WrongArgumentCountPrintsUsageWithArgv0Verbatim) {
  const std::vector<std::vector<std::string>> argvs = {
      {"romtest"},
      {"./some dir/romtest", "a", "b", "c"},
      {"x", "a", "b", "c", "d"},
  };
  for (const auto& argv : argvs) {
    RunResult run = RunWithArgv(argv, InDir(dir_));
    EXPECT_EQ(run.status, 1) << argv.size();
    if (!TestingWindowsBuild()) {
      EXPECT_EQ(run.out, kBanner + "\nUsage:\n\t" + argv[0] + " <ROM-File>\n\n") << argv.size();
      continue;
    }
    // A Windows program is named by the path of its executable.
    const std::string head = kBanner + "\nUsage:\n\t", tail = ".exe <ROM-File>\n\n";
    EXPECT_EQ(run.out.substr(0, head.size()), head);
    ASSERT_GE(run.out.size(), head.size() + tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
  }
  // "a" would have been opened or created had the run gone further.
  EXPECT_FALSE(Exists(Path("a")));
}

TEST_F(CheckTest, InputsThatCannotBeOpened) {
  WriteBytes(Path("empty.rom"), {});
  ASSERT_EQ(mkdir(Path("dir.rom").c_str(), 0755), 0);
  // Nobody writes to the FIFO: an open that waited would hang.
  ASSERT_EQ(mkfifo(Path("fifo.rom").c_str(), 0644), 0);
  // No options either: "--help" is a path like any other.
  std::vector<std::string> paths = {"missing.rom", "empty.rom", "dir.rom", "./missing.rom",
                                    "--help"};
  if (!TestingWindowsBuild()) paths.insert(paths.end(), {"fifo.rom", "/dev/null", "/dev/zero"});
  for (const std::string& path : paths) {
    RunResult run = RunRomtest({path}, InDir(dir_));
    EXPECT_EQ(run.out, kBanner + CannotOpen(path)) << path;
    EXPECT_EQ(run.status, 1) << path;
  }
}

TEST_F(CheckTest, SizeRuleForBothForms) {
  struct Case {
    const char* name;
    Bytes file;
    std::string out;
  };
  const Bytes chip = PassingChips(1);
  Bytes packedPlusOne = chip;
  packedPlusOne.push_back(0x01);
  Bytes unpackedPlusOne = UnpackedForm(chip);
  unpackedPlusOne.push_back(0x01);
  Bytes unpackedShort = UnpackedForm(chip);
  unpackedShort.pop_back();
  const Case cases[] = {
      {"unpacked plus one byte", unpackedPlusOne, kIllegalSize},
      {"unpacked one byte short", unpackedShort, kIllegalSize},
      {"packed plus one byte", packedPlusOne, kUnpacking + kIllegalSize},
      // All bytes 0x0F or less: read as 16,384 locations, half a chip.
      {"packed zeros read as unpacked", Bytes(0x4000, 0x00), kIllegalSize},
      {"one byte", Bytes(1, 0x0F), kIllegalSize},
  };
  for (const Case& c : cases) {
    WriteBytes(Path("in.rom"), c.file);
    RunResult run = RunRomtest({Path("in.rom")});
    EXPECT_EQ(run.out, kBanner + c.out) << c.name;
    EXPECT_EQ(run.status, 1) << c.name;
  }
}

TEST_F(CheckTest, OneChipPassesInEitherForm) {
  const Bytes chip = PassingChips(1);
  WriteBytes(Path("packed.rom"), chip);
  WriteBytes(Path("unpacked.rom"), UnpackedForm(chip));

  RunResult packed = RunRomtest({Path("packed.rom")});
  EXPECT_EQ(packed.out, kBanner + kUnpacking + ChipLine(1, "01", true) + kOk);
  EXPECT_EQ(packed.status, 0);

  RunResult unpacked = RunRomtest({Path("unpacked.rom")});
  EXPECT_EQ(unpacked.out, kBanner + ChipLine(1, "01", true) + kOk);
  EXPECT_EQ(unpacked.status, 0);
}

TEST_F(CheckTest, EveryChipIsReportedAfterAFailure) {
  Bytes image = PassingChips(3);
  image[0x4000 + 5] ^= 0x01;  // chip 2: its sum is now 0x00 or 0x02
  const unsigned char broken = image[0x4000 + 5];
  WriteBytes(Path("in.rom"), UnpackedForm(image));
  RunResult run = RunRomtest({Path("in.rom"), Path("out.rom")});
  const char* sum = (broken & 1) ? "02" : "FF";
  EXPECT_EQ(run.out, kBanner + ChipLine(1, "01", true) + ChipLine(2, sum, false) +
                         ChipLine(3, "01", true) + kError);
  EXPECT_EQ(run.status, 1);
}

TEST_F(CheckTest, ChipNumbersAndSumsFormat) {
  // Twelve chips: 10 sums to 0x04 (all bytes 0x10), 12 to 0xFF, 11 to 0x00.
  Bytes image = PassingChips(12);
  auto setChip = [&](int chip, unsigned char value) {
    std::fill(image.begin() + (chip - 1) * 0x4000, image.begin() + chip * 0x4000, value);
  };
  setChip(10, 0x10);
  setChip(11, 0x00);
  setChip(12, 0xFF);
  WriteBytes(Path("in.rom"), image);
  RunResult run = RunRomtest({Path("in.rom")});
  std::string expected = kBanner + kUnpacking;
  for (unsigned chip = 1; chip <= 9; ++chip)
    expected += ChipLine(chip, "01", true);
  expected += ChipLine(10, "04", false) + ChipLine(11, "00", false) + ChipLine(12, "FF", false);
  EXPECT_EQ(run.out, expected + kError);
  EXPECT_EQ(run.status, 1);
}

TEST_F(CheckTest, ImagesTooLongFor32BitLengthsAreRefusedUnread) {
  struct Case {
    const char* name;
    std::uint64_t size;
    unsigned char first;
    std::string out;
  };
  const Case cases[] = {
      {"unpacked 4 GiB + one chip", 0x100008000ULL, 0x00, kIllegalSize},
      {"unpacked exactly 4 GiB", 0x100000000ULL, 0x00, kIllegalSize},
      {"packed 4 GiB + one chip", 0x100004000ULL, 0x10, kIllegalSize},
      {"packed 2 GiB", 0x80000000ULL, 0x10, kUnpacking + kIllegalSize},
      {"packed 4 GiB - one chip", 0xFFFFC000ULL, 0x10, kUnpacking + kIllegalSize},
  };
  for (const Case& c : cases) {
    WriteSparse(Path("big.rom"), c.size, 0, {c.first});
    RunResult run = RunRomtest({Path("big.rom"), Path("out.rom")});
    EXPECT_EQ(run.out, kBanner + c.out) << c.name;
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_FALSE(Exists(Path("out.rom"))) << c.name;
  }
}

TEST_F(CheckTest, LostReportFailsThePassingRun) {
  SKIP_ON_WINDOWS_BUILD();
  WriteBytes(Path("in.rom"), PassingChips(2));
  RunOptions full;
  full.stdoutPath = "/dev/full";
  EXPECT_EQ(RunRomtest({Path("in.rom")}, full).status, 1);

  RunOptions closed;
  closed.closeStdout = true;
  EXPECT_EQ(RunRomtest({Path("in.rom")}, closed).status, 1);
}

// The largest legal images, 131,071 chips: zeros but for a passing last chip.
std::string LargestReport(bool packed) {
  std::string out = kBanner + (packed ? kUnpacking : "");
  for (unsigned chip = 1; chip < 131071; ++chip)
    out += ChipLine(chip, "00", false);
  return out + ChipLine(131071, "01", true) + kError;
}

class Largest : public TempDirTest {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS_BUILD();
    TempDirTest::SetUp();
  }
};

TEST_F(Largest, UnpackedImageOf131071Chips) {
  const Bytes last = UnpackedForm(PassingChips(1));
  WriteSparse(Path("big.rom"), 0xFFFF8000ULL, 0xFFFF8000ULL - last.size(), last);
  RunResult run = RunRomtest({Path("big.rom")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out == LargestReport(false)) << run.out.substr(0, 200);
}

TEST_F(Largest, PackedImageOf131071Chips) {
  const Bytes last = PassingChips(1);
  WriteSparse(Path("big.rom"), 0x7FFFC000ULL, 0x7FFFC000ULL - last.size(), last);
  RunResult run = RunRomtest({Path("big.rom")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out == LargestReport(true)) << run.out.substr(0, 200);
}

}  // namespace
