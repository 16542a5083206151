// A temporary directory per test, and the images the tests put in it.
#ifndef ROMTEST_TESTS_TEST_FILES_H_
#define ROMTEST_TESTS_TEST_FILES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// The command, one word an element, that runs a program built for the
// target on this machine: empty for a native build; for a cross build the
// emulator that the build names (qemu-user with the target's library root).
// ROMTEST_EMULATOR in the environment, words split at spaces, overrides it.
std::vector<std::string> EmulatorCommand();
bool UnderEmulator();

// Each test gets a directory of its own under $TMPDIR (or /tmp). A case that this system or the
// emulator cannot set up skips here, with its reason (see test_files.cc).
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void MakeDirIn(const std::string& base);
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

void WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);
bool Exists(const std::string& path);
std::string TempBase();

// A file of size bytes that is all holes but for bytes written at offset.
void WriteSparse(const std::string& path, std::uint64_t size, std::uint64_t offset = 0,
                 const Bytes& bytes = {});

// Assembled bytes of chips that pass, from a fixed seed.
Bytes PassingChips(int chips, std::uint64_t seed = 7);

// Assembled bytes of one chip whose bytes are all value.
Bytes UniformChip(unsigned char value);

#endif  // ROMTEST_TESTS_TEST_FILES_H_
