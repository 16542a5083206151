#include <cstring>

#include "kernels.h"
#include "rom_image.h"

std::uint64_t InputPieceAt(const MappedFile& in, std::uint64_t offset) {
  return in.size - offset < kInputPiece ? in.size - offset : kInputPiece;
}

bool IsPackedFile(const unsigned char* src, std::uint64_t srcLength) {
  return FindHighNibble(src, static_cast<std::size_t>(srcLength)) < srcLength;
}

int FindInputForm(MappedFile& in, bool& packed) {
  packed = false;
  for (std::uint64_t at = 0; at < in.size && !packed; at += kInputPiece) {
    const std::uint64_t n = InputPieceAt(in, at);
    const unsigned char* piece = MapInput(in, at, n);
    if (!piece) return 1;
    packed = IsPackedFile(piece, n);
  }
  return 0;
}

std::uint64_t WorkingLength(std::uint64_t fileSize, bool packed) {
  return packed ? fileSize * 2 : fileSize;
}

bool IsLegalLength(std::uint64_t length) {
  return length != 0 && length % kChipLocations == 0 && length <= UINT32_MAX;
}

void FillWorkingImage(unsigned char* dst, const unsigned char* src, std::size_t n, bool packed) {
  if (packed) {
    SplitNibbles(dst, src, n);
  } else {
    std::memcpy(dst, src, n);
  }
}

int UnpackImage(RomImage& out, MappedFile& in, bool packed) {
  const std::uint32_t length = static_cast<std::uint32_t>(WorkingLength(in.size, packed));
  out.data = AllocateImage(length);
  if (!out.data) return 1;
  out.length = length;
  const std::uint64_t scale = packed ? 2 : 1;
  for (std::uint64_t at = 0; at < in.size; at += kInputPiece) {
    const std::uint64_t n = InputPieceAt(in, at);
    const unsigned char* piece = MapInput(in, at, n);
    if (!piece) return 1;
    FillWorkingImage(out.data + at * scale, piece, static_cast<std::size_t>(n), packed);
  }
  return 0;
}
