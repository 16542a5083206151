#include <cstdio>
#include <cstring>

#include "kernels.h"
#include "rom_image.h"

int UnpackImage(RomImage& out, const unsigned char* src, std::uint64_t srcLength) {
  out.data = nullptr;
  out.length = 0;
  // A file of 4 GiB or more cannot hold a legal image: refuse it unread.
  if (srcLength > UINT32_MAX) return 0;

  const bool packed = FindHighNibble(src, srcLength) < srcLength;
  const std::uint64_t length = packed ? srcLength * 2 : srcLength;
  if (packed) std::printf("Unpacking data...\n");
  if (length > UINT32_MAX) return 0;

  out.data = AllocateImage(static_cast<std::uint32_t>(length));
  if (!out.data) return 1;
  out.length = static_cast<std::uint32_t>(length);
  if (packed) {
    SplitNibbles(out.data, src, srcLength);
  } else {
    std::memcpy(out.data, src, srcLength);
  }
  return 0;
}
