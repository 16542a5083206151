#include "test_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "rom_maker.h"

std::string TempBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

void TempDirTest::SetUp() { MakeDirIn(TempBase()); }

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
