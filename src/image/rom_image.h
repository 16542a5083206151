// The ROM image: its two file forms, the working image, chip checksums and output.
//
// A ROM image is a sequence of 4-bit locations, split into chips of 32,768
// locations. On disk it is either unpacked (one location per byte, high nibble
// zero) or packed (two locations per byte, the even one in the low nibble).
// The tool always works on the unpacked form, the "working image".
#ifndef ROMTEST_IMAGE_ROM_IMAGE_H_
#define ROMTEST_IMAGE_ROM_IMAGE_H_

#include <cstdint>

constexpr std::uint32_t kChipLocations = 0x8000;  // locations per chip
constexpr std::uint32_t kChipBytes = 0x4000;      // assembled bytes per chip
constexpr std::uint8_t kChipPassSum = 0x01;       // checksum of a good chip

// The working image: one location (0x0 to 0xF) per byte.
struct RomImage {
  unsigned char* data;
  std::uint32_t length;  // locations, which is also bytes
};

// The input file while it is open. A zeroed record holds nothing, so handles
// are stored in a form where 0 means "none" (on POSIX a descriptor plus one).
struct MappedFile {
  std::uintptr_t file;        // the open file
  std::uintptr_t mapping;     // the mapping object, where the system has one
  const unsigned char* view;  // first byte of the whole file, mapped read-only
  std::uint64_t size;         // the file's length in bytes
};

// --- Image handling (portable) ---

// Builds the working image from a file's bytes, packed or unpacked, told
// apart by content: any byte of 0x10 or more makes the file packed. Prints
// "Unpacking data..." for a packed file. An image whose location count does
// not fit 32 bits comes back empty (data null, length 0), for the size rule
// to refuse. Returns 1 only when the working image cannot be allocated.
int UnpackImage(RomImage& out, const unsigned char* src, std::uint64_t srcLength);

// End-around-carry sum of the 16,384 assembled bytes of the chip at offset.
std::uint8_t ChipChecksum(const unsigned char* image, std::uint32_t offset);

// Prints one line per chip; returns 1 when any chip failed. length must be a
// nonzero multiple of kChipLocations.
int CheckChips(const unsigned char* image, std::uint32_t length);

// Writes the working image to path and reports a failure; returns 0 or 1.
int OutputImage(const char* path, const RomImage& image);

// --- Operating-system services: image_os_posix.cc or image_os_win32.cc ---

// Makes closed standard descriptors harmless before anything is opened.
void GuardStandardStreams();

// Opens an existing regular file for reading and maps all of it. Whatever it
// acquired stays recorded in out, also on failure. Returns 0 or 1.
int OpenMappedFile(const char* path, MappedFile& out);

// Returns 1 when the mapped file was shortened while it was mapped, so that
// what was read from it cannot be trusted.
int MappedFileShrank(const MappedFile& in);

// Releases whatever in holds; safe on a zeroed or partly filled record.
void CloseMappedFile(MappedFile& in);

// One heap block for the working image, not zero-filled; null on failure.
unsigned char* AllocateImage(std::uint32_t length);
void FreeImage(RomImage& image);

// Puts the image at path in one step; 0 when all of it is there, else 1.
int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length);

#endif  // ROMTEST_IMAGE_ROM_IMAGE_H_
