// Unit tests of the image code: checksums, form detection, unpacking.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/rom_image.h"
#include "reference.h"
#include "rom_maker.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ChipOf(const std::vector<unsigned char>& assembled) { return UnpackedForm(assembled); }

// A file's bytes as the input, all in one view.
MappedFile InMemory(const Bytes& file) {
  MappedFile input = {};
  input.view = file.data();
  input.size = input.viewLength = file.size();
  return input;
}

// The checksum of one chip summed from its packed bytes, as a check reads a
// packed file.
std::uint8_t PackedSum(const Bytes& assembled) {
  ChipSums sums;
  MappedFile input = InMemory(assembled);
  EXPECT_EQ(SumInputChips(input, true, sums), 0);
  EXPECT_EQ(sums.count, 1u);
  return sums.sum[0];
}

TEST(ChipChecksum, KnownChips) {
  struct Case {
    const char* name;
    Bytes assembled;
    std::uint8_t sum;
  };
  Bytes firstOne(kChipBytes, 0x00);
  firstOne[0] = 0x01;
  Bytes ramp(kChipBytes);
  for (std::size_t i = 0; i < ramp.size(); ++i)
    ramp[i] = static_cast<unsigned char>(i);
  Bytes lastOne(kChipBytes, 0x00);
  lastOne[kChipBytes - 1] = 0x01;
  Bytes twoFiftyFive(kChipBytes, 0x00);
  twoFiftyFive[7] = 0xFF;
  Bytes wraps(kChipBytes, 0x00);  // 0x80 + 0x80 carries once: 0x01
  wraps[0] = wraps[1] = 0x80;
  const Case cases[] = {
      {"all zero", Bytes(kChipBytes, 0x00), 0x00}, {"all 0xFF", Bytes(kChipBytes, 0xFF), 0xFF},
      {"byte 0 is 0x01", firstOne, 0x01},          {"all 0x01", Bytes(kChipBytes, 0x01), 0x40},
      {"all 0x10", Bytes(kChipBytes, 0x10), 0x04}, {"0x00 to 0xFF, 64 times", ramp, 0xFF},
      {"last byte 0x01", lastOne, 0x01},           {"one byte 0xFF", twoFiftyFive, 0xFF},
      {"carry goes back in", wraps, 0x01},
  };
  for (const Case& c : cases) {
    const Bytes chip = ChipOf(c.assembled);
    EXPECT_EQ(ChipChecksum(chip.data(), 0), c.sum) << c.name;
    EXPECT_EQ(StepByStepSum(chip.data()), c.sum) << c.name;
    EXPECT_EQ(PackedSum(c.assembled), c.sum) << c.name;
  }
}

TEST(ChipChecksum, MatchesStepByStepOnRandomChips) {
  std::uint64_t state = 12345;
  for (int round = 0; round < 64; ++round) {
    // Vary the density so that small and large totals both occur.
    Bytes assembled(kChipBytes);
    const unsigned char mask = static_cast<unsigned char>(0xFF >> (round % 8));
    const int sparse = round % 3;
    for (auto& b : assembled) {
      b = NextRandomByte(state) & mask;
      if (sparse && NextRandomByte(state) % (sparse * 40) != 0) b = 0;
    }
    const Bytes chip = ChipOf(assembled);
    const std::uint8_t want = StepByStepSum(chip.data());
    ASSERT_EQ(ChipChecksum(chip.data(), 0), want) << round;
    ASSERT_EQ(PackedSum(assembled), want) << round;
  }
}

TEST(ChipChecksum, UsesTheChipAtTheOffset) {
  Bytes assembled(3 * kChipBytes, 0x00);
  assembled[kChipBytes] = 0x01;      // chip 2 passes
  assembled[2 * kChipBytes] = 0x10;  // chip 3 sums to 0x10
  const Bytes image = UnpackedForm(assembled);
  EXPECT_EQ(ChipChecksum(image.data(), 0), 0x00);
  EXPECT_EQ(ChipChecksum(image.data(), kChipLocations), 0x01);
  EXPECT_EQ(ChipChecksum(image.data(), 2 * kChipLocations), 0x10);
}

TEST(SumChips, EitherFormGivesTheSameSumsAndEveryChipIsReported) {
  Bytes assembled(3 * kChipBytes, 0x00);
  assembled[0] = 0x01;
  assembled[2 * kChipBytes] = 0x01;
  assembled[2 * kChipBytes + 9] = 0xFF;
  const Bytes image = UnpackedForm(assembled);
  ChipSums fromImage, fromFile;
  fromImage.count = 3;
  SumChips(image.data(), static_cast<std::uint32_t>(image.size()), false, fromImage.sum);
  MappedFile input = InMemory(assembled);
  ASSERT_EQ(SumInputChips(input, true, fromFile), 0);
  ASSERT_EQ(fromFile.count, 3u);
  for (std::uint32_t chip = 0; chip < 3; ++chip)
    EXPECT_EQ(fromFile.sum[chip], fromImage.sum[chip]) << chip;

  testing::internal::CaptureStdout();
  const int failed = ReportChips(fromFile);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ROM Chip 1 = 01 -> Ok\nROM Chip 2 = 00 -> Fail\nROM Chip 3 = 01 -> Ok\n");
  EXPECT_EQ(failed, 1);
}

// Tells the form and builds the working image; returns whether it was packed.
bool Unpack(RomImage& image, const Bytes& file) {
  MappedFile input = InMemory(file);
  bool packed = true;
  EXPECT_EQ(FindInputForm(input, packed), 0);
  EXPECT_EQ(UnpackImage(image, input, packed), 0);
  return packed;
}

// A file read in several pieces gives what it gives read at once: each
// piece's chips and locations land in their places.
TEST(Input, PiecesAddUpToTheWholeFile) {
  const std::size_t chips = 2 * kInputPiece / kChipBytes + 3;
  Bytes file(chips * kChipBytes, 0x00);
  for (std::size_t chip = 0; chip < chips; ++chip)
    file[chip * kChipBytes + chip % 7] = static_cast<unsigned char>(chip);
  file.back() = 0x10;  // the only packed byte, in the last piece
  MappedFile input = InMemory(file);
  bool packed = false;
  ASSERT_EQ(FindInputForm(input, packed), 0);
  EXPECT_TRUE(packed);

  ChipSums fromFile, fromImage;
  ASSERT_EQ(SumInputChips(input, true, fromFile), 0);
  ASSERT_EQ(fromFile.count, chips);
  RomImage image = {};
  ASSERT_EQ(UnpackImage(image, input, true), 0);
  ASSERT_EQ(image.length, 2 * file.size());
  EXPECT_TRUE(Bytes(image.data, image.data + image.length) == UnpackedForm(file));
  SumChips(image.data, image.length, false, fromImage.sum);
  for (std::uint32_t chip = 0; chip < fromFile.count; ++chip)
    ASSERT_EQ(fromFile.sum[chip], fromImage.sum[chip]) << chip;
  EXPECT_EQ(fromFile.sum[chips - 1], (chips - 1) % 256 + 0x10);
  FreeImage(image);
}

TEST(UnpackImage, OneHighNibbleAnywhereMakesTheFilePacked) {
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{777}, std::size_t{4095}}) {
    Bytes file(4096, 0x0F);
    file[at] = 0x10;
    RomImage image = {};
    EXPECT_TRUE(Unpack(image, file)) << at;
    EXPECT_EQ(image.length, 8192u) << at;
    EXPECT_EQ(Bytes(image.data, image.data + image.length), UnpackedForm(file)) << at;
    FreeImage(image);
  }
}

TEST(UnpackImage, LowNibblesOnlyIsUnpackedAndCopied) {
  std::uint64_t state = 99;
  Bytes file(5000);
  for (auto& b : file)
    b = NextRandomByte(state) & 0x0F;
  RomImage image = {};
  EXPECT_FALSE(Unpack(image, file));
  EXPECT_EQ(Bytes(image.data, image.data + image.length), file);
  FreeImage(image);
}

TEST(UnpackImage, SplitsEachByteLowNibbleFirst) {
  RomImage image = {};
  Unpack(image, Bytes{0xA5});
  ASSERT_EQ(image.length, 2u);
  EXPECT_EQ(image.data[0], 0x5);
  EXPECT_EQ(image.data[1], 0xA);
  FreeImage(image);

  std::uint64_t state = 4;
  Bytes file(3 * 4096 + 3);
  for (auto& b : file)
    b = NextRandomByte(state);
  Unpack(image, file);
  EXPECT_EQ(PackedForm(Bytes(image.data, image.data + image.length)), file);
  FreeImage(image);
}

TEST(SizeRule, WholeChipsCountedIn32Bits) {
  struct Case {
    std::uint64_t fileSize;
    bool packed;
    bool legal;
  };
  const Case cases[] = {
      {0x8000, false, true},
      {0x4000, true, true},
      {0x4000, false, false},
      {0x8001, false, false},
      {0x4001, true, false},
      {0xFFFF8000, false, true},
      {0x7FFFC000, true, true},
      {0x80000000, true, false},
      {0x100000000ULL, false, false},
      {0x100008000ULL, false, false},
      {0xFFFFFFFF8000ULL, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WorkingLength(c.fileSize, c.packed), c.packed ? 2 * c.fileSize : c.fileSize);
    EXPECT_EQ(IsLegalLength(WorkingLength(c.fileSize, c.packed)), c.legal)
        << std::hex << c.fileSize << " " << c.packed;
  }
}

}  // namespace
