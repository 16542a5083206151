// make_rom: writes a ROM image of random content whose every chip passes.
//   make_rom packed|unpacked CHIPS SEED OUT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rom_maker.h"

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "packed") != 0 && std::strcmp(argv[1], "unpacked") != 0)) {
    std::fprintf(stderr, "usage: make_rom packed|unpacked CHIPS SEED OUT\n");
    return 2;
  }
  const bool packed = std::strcmp(argv[1], "packed") == 0;
  const unsigned long chips = std::strtoul(argv[2], nullptr, 10);
  std::uint64_t state = std::strtoull(argv[3], nullptr, 10) * 2 + 1;  // never 0
  std::FILE* out = std::fopen(argv[4], "wb");
  if (!out) {
    std::perror(argv[4]);
    return 1;
  }
  // Written unbuffered in large aligned pieces, as a copy tool writes, so that
  // the page cache may hold the image in large folios.
  std::setvbuf(out, nullptr, _IONBF, 0);
  std::vector<unsigned char> chip(0x4000), piece;
  for (unsigned long n = 0; n < chips; ++n) {
    FillPassingChip(chip.data(), state);
    const std::vector<unsigned char>& bytes = packed ? chip : UnpackedForm(chip);
    piece.insert(piece.end(), bytes.begin(), bytes.end());
    if (piece.size() >= (4u << 20) || n + 1 == chips) {
      if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) {
        std::perror(argv[4]);
        std::fclose(out);
        return 1;
      }
      piece.clear();
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[4]);
    return 1;
  }
  return 0;
}
