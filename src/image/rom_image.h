// The ROM image: its two file forms, the working image, chip checksums and output.
//
// A ROM image is a sequence of 4-bit locations, split into chips of 32,768
// locations. On disk it is either unpacked (one location per byte, high nibble
// zero) or packed (two locations per byte, the even one in the low nibble).
// A check sums the chips straight from the file's bytes; a conversion builds
// the unpacked form, the "working image", and writes it out.
#ifndef ROMTEST_IMAGE_ROM_IMAGE_H_
#define ROMTEST_IMAGE_ROM_IMAGE_H_

#include <cstdint>

constexpr std::uint32_t kChipLocations = 0x8000;  // locations per chip
constexpr std::uint32_t kChipBytes = 0x4000;      // assembled bytes per chip
constexpr std::uint8_t kChipPassSum = 0x01;       // checksum of a good chip
// Lengths are 32-bit counts of locations: at most 131,071 whole chips.
constexpr std::uint32_t kMostChips = UINT32_MAX / kChipLocations;
// A longer file is outside 32-bit lengths, illegal in either form: it is
// measured, never mapped or read.
constexpr std::uint64_t kLongestFile = UINT32_MAX;

// The working image: one location (0x0 to 0xF) per byte.
struct RomImage {
  unsigned char* data;
  std::uint32_t length;  // locations, which is also bytes
};

// What identifies the input file and its content as it was opened, so that
// a change while it is read can be told afterwards.
struct FileStamp {
  std::uint64_t device;
  std::uint64_t inode;
  std::uint64_t size;
  std::int64_t modified;  // nanoseconds, or the system's own ticks
  std::int64_t changed;
};

// The input file while it is open. A zeroed record holds nothing, so handles
// are stored in a form where 0 means "none" (on POSIX a descriptor plus one).
struct MappedFile {
  std::uintptr_t file;        // the open file
  std::uintptr_t mapping;     // the mapping object, where the system has one
  const unsigned char* view;  // the whole file, read-only; null when it is
                              // longer than kLongestFile or cannot be mapped
  std::uint64_t size;         // the file's length in bytes
  FileStamp opened;           // the file as it was opened
};

// Every chip's checksum, in chip order.
struct ChipSums {
  std::uint32_t count;
  std::uint8_t sum[kMostChips];
};

// --- Image handling (portable) ---

// A file is packed when any of its bytes is 0x10 or more.
bool IsPackedFile(const unsigned char* src, std::uint64_t srcLength);

// The image's length in locations: the file's length, or twice that when
// packed.
std::uint64_t WorkingLength(std::uint64_t fileSize, bool packed);

// The size rule: a nonzero whole number of chips, counted in 32 bits.
bool IsLegalLength(std::uint64_t length);

// Builds the working image from a file's bytes in the form given; its length
// must fit 32 bits. Returns 1 only when it cannot be allocated.
int UnpackImage(RomImage& out, const unsigned char* src, std::uint64_t srcLength, bool packed);

// End-around-carry sum of the 16,384 assembled bytes of the chip at offset.
std::uint8_t ChipChecksum(const unsigned char* image, std::uint32_t offset);

// Sums every chip of an image of length locations (legal), held either as
// the working image or as the bytes of a packed file, which are the chips'
// assembled bytes themselves.
void SumChips(const unsigned char* chips, std::uint32_t length, bool packed, ChipSums& out);

// Prints one line per chip; returns 1 when any chip failed.
int ReportChips(const ChipSums& sums);

// Writes the working image to path and reports a failure; returns 0 or 1.
int OutputImage(const char* path, const RomImage& image);

// --- Operating-system services: image_os_*.cc, image_read_*.cc, image_write_*.cc ---

// Makes closed standard descriptors harmless before anything is opened, and
// sets up whatever else the system needs for the run from its start (on
// Windows: no fault dialogs, the console's code page).
void GuardStandardStreams();

// Opens an existing regular file for reading and maps all of it. A file
// longer than kLongestFile is only measured; one that the address space
// cannot hold is opened but not mapped (view null, as for a failed
// allocation). Whatever it acquired stays recorded in out, also on failure.
// Returns 0 or 1.
int OpenMappedFile(const char* path, MappedFile& out);

// Returns 1 when what was read from the view cannot be trusted: a page of it
// could not be read, or the file is no longer as it was opened.
int MappedFileChanged(const MappedFile& in);

// Releases whatever in holds; safe on a zeroed or partly filled record.
void CloseMappedFile(MappedFile& in);

// One heap block for the working image, not zero-filled; null on failure.
unsigned char* AllocateImage(std::uint32_t length);
void FreeImage(RomImage& image);

// Puts the image at path; 0 when all of it is there, else 1.
int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length);

#endif  // ROMTEST_IMAGE_ROM_IMAGE_H_
