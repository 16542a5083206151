#include <cstdio>

#include "rom_image.h"

int OutputImage(const char* path, const RomImage& image) {
  if (WriteImageFile(path, image.data, image.length) == 0) return 0;
  std::printf("Cannot write to file %s.\n", path);
  return 1;
}
