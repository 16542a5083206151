// The POSIX file services where a test must reach inside a run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "image/rom_image.h"
#include "rom_maker.h"
#include "test_files.h"

namespace {

using MappedFileTest = TempDirTest;

// Reads every byte of the view, as a check does.
unsigned ReadAll(MappedFile& input) {
  ChipSums sums;
  return SumInputChips(input, true, sums) == 0 ? sums.count : 0;
}

TEST_F(MappedFileTest, InputCutShortWhileMappedIsReadSafelyAndNoticed) {
  const Bytes image = PassingChips(64);  // 1 MiB, packed
  WriteBytes(Path("in.rom"), image);
  MappedFile input = {};
  ASSERT_EQ(OpenMappedFile(Path("in.rom").c_str(), input), 0);
  EXPECT_EQ(input.size, image.size());
  EXPECT_EQ(MappedFileChanged(input), 0);
  ASSERT_EQ(truncate(Path("in.rom").c_str(), 4096), 0);
  EXPECT_EQ(ReadAll(input), 64u);  // no SIGBUS
  // Even once the file is whole again, what was read was not the file.
  WriteBytes(Path("in.rom"), image);
  EXPECT_EQ(MappedFileChanged(input), 1);
  CloseMappedFile(input);

  struct sigaction now;
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);  // the guard ends with the mapping
}

TEST_F(MappedFileTest, AnyChangeOfTheFileIsNoticed) {
  const Bytes image = PassingChips(4);
  struct Case {
    const char* name;
    void (*change)(const std::string& path, const Bytes& image);
  };
  const Case cases[] = {
      {"rewritten with the same bytes",
       [](const std::string& path, const Bytes& image) { WriteBytes(path, image); }},
      {"appended to",
       [](const std::string& path, const Bytes&) {
         const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(write(fd, "x", 1), 1);
         close(fd);
       }},
      {"one byte changed in place",
       [](const std::string& path, const Bytes& image) {
         const int fd = open(path.c_str(), O_WRONLY);
         ASSERT_GE(fd, 0);
         const unsigned char b = image[7] ^ 1;
         ASSERT_EQ(pwrite(fd, &b, 1, 7), 1);
         close(fd);
       }},
  };
  for (const Case& c : cases) {
    WriteBytes(Path("in.rom"), image);
    MappedFile input = {};
    ASSERT_EQ(OpenMappedFile(Path("in.rom").c_str(), input), 0) << c.name;
    ReadAll(input);
    EXPECT_EQ(MappedFileChanged(input), 0) << c.name;
    // Timestamps may be as coarse as the kernel's tick.
    usleep(20000);
    c.change(Path("in.rom"), image);
    EXPECT_EQ(MappedFileChanged(input), 1) << c.name;
    CloseMappedFile(input);
  }
}

TEST_F(MappedFileTest, FilesTooLongForAnyImageAreMeasuredNotMapped) {
  WriteSparse(Path("big.rom"), kLongestFile + 1);
  MappedFile input = {};
  ASSERT_EQ(OpenMappedFile(Path("big.rom").c_str(), input), 0);
  EXPECT_EQ(input.size, kLongestFile + 1);
  EXPECT_EQ(input.view, nullptr);
  EXPECT_EQ(MappedFileChanged(input), 0);
  CloseMappedFile(input);
}

TEST_F(MappedFileTest, ABusErrorOutsideTheViewEndsTheProcessInsteadOfSpinning) {
  WriteBytes(Path("in.rom"), PassingChips(1));
  WriteBytes(Path("other"), Bytes(1 << 16, 1));
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);  // a handler that spins ends by SIGALRM instead
    MappedFile input = {};
    if (OpenMappedFile(Path("in.rom").c_str(), input) != 0) _exit(2);
    const int fd = open(Path("other").c_str(), O_RDONLY);
    void* other = mmap(nullptr, 1 << 16, PROT_READ, MAP_SHARED, fd, 0);
    if (other == MAP_FAILED || ftruncate(open(Path("other").c_str(), O_WRONLY), 0) != 0) _exit(3);
    _exit(static_cast<volatile unsigned char*>(other)[8192]);  // beyond the end of "other"
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGBUS);
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
