#include "test_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "rom_maker.h"

std::vector<std::string> EmulatorCommand() {
  const char* given = std::getenv("ROMTEST_EMULATOR");
#ifdef ROMTEST_EMULATOR
  if (!given) given = ROMTEST_EMULATOR;
#endif
  std::vector<std::string> words;
  std::string word;
  for (const char* c = given ? given : "";; ++c) {
    if (*c && *c != ' ') {
      word += *c;
      continue;
    }
    if (!word.empty()) words.push_back(word);
    word.clear();
    if (!*c) break;
  }
  return words;
}

bool UnderEmulator() { return !EmulatorCommand().empty(); }

namespace {

// What a case needs that not every system, or qemu-user, provides.
enum Need {
  kNativeAddressSpace,  // RLIMIT_AS held against the program itself
  kDevFull,             // a device on which every write fails
  kBusAddress,          // the address of a page cut from a mapping, in SIGBUS
};

struct CaseNeed {
  const char* test;  // Suite.Name
  Need need;
};

// The cases that need more than POSIX and a plain run give.
constexpr CaseNeed kCaseNeeds[] = {
    {"FaultTest.AddressSpaceLimits", kNativeAddressSpace},
    {"FaultTest.LostReportInEveryForm", kDevFull},
    {"CheckTest.LostReportFailsThePassingRun", kDevFull},
    {"OutputTest.LostReportWritesNothing", kDevFull},
    {"OutputTest.PathsThatCannotBeWritten", kDevFull},
    {"FaultTest.InputCutShortWhileMapped", kBusAddress},
    {"FaultTest.InputRewrittenWhileReadNeverGivesAFalseVerdict", kBusAddress},
    {"FaultTest.UnreadablePageIsReportedNeverReadAsZerosOrHungOn", kBusAddress},
    {"MappedFileTest.InputCutShortWhileMappedIsReadSafelyAndNoticed", kBusAddress},
};

// Why this system cannot give what a case needs, or null when it can.
const char* Missing(Need need) {
  switch (need) {
    case kNativeAddressSpace:
#ifndef __linux__
      return "RLIMIT_AS as Linux enforces it";
#endif
      if (UnderEmulator()) {
        return "RLIMIT_AS on the program: qemu-user is held to it, not the program it runs";
      }
      return nullptr;
    case kBusAddress:
      // Seen with qemu-user 7.2: one page too high for i386 and arm guests,
      // so the page mapped over the lost one misses it and the read faults
      // for ever; on s390x not an address at all. Native kernels give it right.
#if defined(__i386__) || defined(__arm__) || defined(__s390x__)
      if (UnderEmulator())
        return "the SIGBUS address, which qemu-user gets wrong for this processor";
#endif
      return nullptr;
    case kDevFull:
      return access("/dev/full", W_OK) == 0 ? nullptr : "no writable /dev/full on this system";
  }
  return nullptr;
}

}  // namespace

void TempDirTest::SetUp() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  for (const CaseNeed& c : kCaseNeeds) {
    const char* missing = c.test == name ? Missing(c.need) : nullptr;
    if (missing) GTEST_SKIP() << "cannot set up here: " << missing;
  }
  MakeDirIn(TempBase());
}

std::string TempBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

void TempDirTest::MakeDirIn(const std::string& base) {
  std::string pattern = base + "/romtest-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr) << base;
  dir_ = pattern;
}

void TempDirTest::TearDown() {
  if (dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void WriteSparse(const std::string& path, std::uint64_t size, std::uint64_t offset,
                 const Bytes& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  if (!bytes.empty()) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  }
  close(fd);
}

Bytes PassingChips(int chips, std::uint64_t seed) {
  Bytes bytes(static_cast<std::size_t>(chips) * 0x4000);
  std::uint64_t state = seed * 2 + 1;
  for (int n = 0; n < chips; ++n)
    FillPassingChip(bytes.data() + n * 0x4000, state);
  return bytes;
}

Bytes UniformChip(unsigned char value) { return Bytes(0x4000, value); }
