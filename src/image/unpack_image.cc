#include <cstring>

#include "kernels.h"
#include "rom_image.h"

bool IsPackedFile(const unsigned char* src, std::uint64_t srcLength) {
  return FindHighNibble(src, static_cast<std::size_t>(srcLength)) < srcLength;
}

std::uint64_t WorkingLength(std::uint64_t fileSize, bool packed) {
  return packed ? fileSize * 2 : fileSize;
}

bool IsLegalLength(std::uint64_t length) {
  return length != 0 && length % kChipLocations == 0 && length <= UINT32_MAX;
}

int UnpackImage(RomImage& out, const unsigned char* src, std::uint64_t srcLength, bool packed) {
  const std::uint32_t length = static_cast<std::uint32_t>(WorkingLength(srcLength, packed));
  out.data = AllocateImage(length);
  if (!out.data) return 1;
  out.length = length;
  if (packed) {
    SplitNibbles(out.data, src, static_cast<std::size_t>(srcLength));
  } else {
    std::memcpy(out.data, src, length);
  }
  return 0;
}
