// The POSIX file services where a test must reach inside a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "image/rom_image.h"
#include "rom_maker.h"
#include "test_files.h"

namespace {

using MappedFileTest = TempDirTest;

TEST_F(MappedFileTest, InputCutShortWhileMappedIsReadSafelyAndNoticed) {
  const Bytes image = PassingChips(64);  // 1 MiB, packed
  WriteBytes(Path("in.rom"), image);
  MappedFile input = {};
  ASSERT_EQ(OpenMappedFile(Path("in.rom").c_str(), input), 0);
  EXPECT_EQ(input.size, image.size());
  EXPECT_EQ(MappedFileShrank(input), 0);
  ASSERT_EQ(truncate(Path("in.rom").c_str(), 4096), 0);

  RomImage working = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(UnpackImage(working, input.view, input.size), 0);  // no SIGBUS
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(MappedFileShrank(input), 1);
  CloseMappedFile(input);
  FreeImage(working);

  struct sigaction now;
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);  // the guard ends with the mapping
}

TEST_F(MappedFileTest, ZeroedRecordAndFailedOpensCloseCleanly) {
  MappedFile none = {};
  CloseMappedFile(none);
  for (const std::string& path : {Path("missing"), dir_}) {
    MappedFile failed = {};
    EXPECT_EQ(OpenMappedFile(path.c_str(), failed), 1) << path;
    EXPECT_EQ(failed.view, nullptr);
    CloseMappedFile(failed);
  }
}

}  // namespace
