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
    ASSERT_EQ(ChipChecksum(chip.data(), 0), StepByStepSum(chip.data())) << round;
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

TEST(CheckChips, ReportsEveryChipInOrder) {
  Bytes assembled(3 * kChipBytes, 0x00);
  assembled[0] = 0x01;
  assembled[2 * kChipBytes] = 0x01;
  const Bytes image = UnpackedForm(assembled);
  testing::internal::CaptureStdout();
  const int failed = CheckChips(image.data(), static_cast<std::uint32_t>(image.size()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ROM Chip 1 = 01 -> Ok\nROM Chip 2 = 00 -> Fail\nROM Chip 3 = 01 -> Ok\n");
  EXPECT_EQ(failed, 1);
}

// Runs UnpackImage and returns what it printed.
std::string Unpack(RomImage& image, const Bytes& file) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(UnpackImage(image, file.data(), file.size()), 0);
  return testing::internal::GetCapturedStdout();
}

TEST(UnpackImage, OneHighNibbleAnywhereMakesTheFilePacked) {
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{777}, std::size_t{4095}}) {
    Bytes file(4096, 0x0F);
    file[at] = 0x10;
    RomImage image = {};
    EXPECT_EQ(Unpack(image, file), "Unpacking data...\n") << at;
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
  EXPECT_EQ(Unpack(image, file), "");
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

TEST(UnpackImage, LengthsBeyond32BitsGiveAnEmptyImageUnread) {
  // Only one page exists, starting with a packed byte: the scan stops there,
  // and nothing past it may be read for these answers.
  Bytes page(4096, 0x00);
  page[0] = 0x10;
  RomImage image = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(UnpackImage(image, page.data(), 0x80000000ULL), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unpacking data...\n");
  EXPECT_EQ(image.data, nullptr);
  EXPECT_EQ(image.length, 0u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(UnpackImage(image, nullptr, 0x100000000ULL), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(image.data, nullptr);
}

}  // namespace
