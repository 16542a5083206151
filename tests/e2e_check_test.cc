// End to end: the checksum test, run on images made in a temporary directory.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "reference.h"
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

// A check sums the chips from the file; a conversion from the working image
// it builds. Both must give the same report, to the byte.
TEST_F(CheckTest, ACheckAndAConversionReportAlike) {
  Bytes failing = PassingChips(5, 3);
  failing[2 * 0x4000 + 77] ^= 0x30;
  Bytes twelve = PassingChips(12, 4);
  std::fill(twelve.begin() + 9 * 0x4000, twelve.begin() + 10 * 0x4000, 0x10);
  Bytes oneLate = Bytes(0x8000, 0x00);
  oneLate.back() = 0x01;  // unpacked: chip 1 sums to 0x10
  const Bytes images[] = {
      PassingChips(3, 1),
      UnpackedForm(PassingChips(3, 2)),
      failing,
      UnpackedForm(failing),
      twelve,
      oneLate,
      Bytes(0x4000, 0x0F),
      Bytes(0x4000 + 1, 0xF0),
  };
  int n = 0;
  for (const Bytes& image : images) {
    WriteBytes(Path("in.rom"), image);
    const RunResult check = RunRomtest({Path("in.rom")});
    const RunResult convert = RunRomtest({Path("in.rom"), Path("out.rom")});
    EXPECT_EQ(check.out, convert.out) << "image " << n;
    EXPECT_EQ(check.status, convert.status) << "image " << n;
    EXPECT_EQ(Exists(Path("out.rom")), convert.status == 0) << "image " << n;
    if (convert.status == 0) {
      EXPECT_EQ(ReadBytes(Path("out.rom")), ReferenceWorkingImage(image.data(), image.size()));
    }
    unlink(Path("out.rom").c_str());
    ++n;
  }
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

// MemAvailable from /proc/meminfo in bytes, or -1 where there is none.
long long AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  long long kib;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    meminfo.ignore(1 << 10, '\n');
  }
  return -1;
}

// A check of the largest images holds the file's pages in memory (the holes
// of a sparse file read as pages of zeros), and little more.
class Largest : public TempDirTest {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS_BUILD();
    TempDirTest::SetUp();
  }
  bool HasMemoryFor(std::uint64_t fileSize) {
    const long long need = static_cast<long long>(fileSize) + (512LL << 20);
    const long long available = AvailableMemory();
    if (available >= need) return true;
    std::printf("needs %lld MiB of available memory, has %lld MiB\n", need >> 20, available >> 20);
    return false;
  }
};

TEST_F(Largest, UnpackedImageOf131071Chips) {
  if (!HasMemoryFor(0xFFFF8000ULL)) GTEST_SKIP() << "too little memory for the largest image";
  const Bytes last = UnpackedForm(PassingChips(1));
  WriteSparse(Path("big.rom"), 0xFFFF8000ULL, 0xFFFF8000ULL - last.size(), last);
  RunResult run = RunRomtest({Path("big.rom")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out == LargestReport(false)) << run.out.substr(0, 200);
}

TEST_F(Largest, PackedImageOf131071Chips) {
  if (!HasMemoryFor(0x7FFFC000ULL)) GTEST_SKIP() << "too little memory for the largest image";
  const Bytes last = PassingChips(1);
  WriteSparse(Path("big.rom"), 0x7FFFC000ULL, 0x7FFFC000ULL - last.size(), last);
  RunResult run = RunRomtest({Path("big.rom")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out == LargestReport(true)) << run.out.substr(0, 200);
}

}  // namespace
