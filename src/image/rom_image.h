// The ROM image: its two file forms, the working image, chip checksums and output.
//
// A ROM image is a sequence of 4-bit locations, split into chips of 32,768
// locations. On disk it is either unpacked (one location per byte, high nibble
// zero) or packed (two locations per byte, the even one in the low nibble).
// A check sums the chips straight from the file's bytes; a conversion builds
// the unpacked form, the "working image", and writes it out.
#ifndef ROMTEST_IMAGE_ROM_IMAGE_H_
#define ROMTEST_IMAGE_ROM_IMAGE_H_

#include <cstddef>
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
  const unsigned char* view;  // the mapped part of the file, read-only
  std::uint64_t size;         // the file's length in bytes
  std::uint64_t viewOffset;   // where the view starts in the file
  std::uint64_t viewLength;   // the whole file where the address space allows
  FileStamp opened;           // the file as it was opened
};

// The input is read a piece at a time, each a whole number of chips in
// either form; where the address space allows, all pieces lie in one view.
constexpr std::uint64_t kInputPiece = std::uint64_t{64} << 20;

// The length of the piece of the input that starts at offset.
std::uint64_t InputPieceAt(const MappedFile& in, std::uint64_t offset);

// Every chip's checksum, in chip order.
struct ChipSums {
  std::uint32_t count;
  std::uint8_t sum[kMostChips];
};

// --- Image handling (portable) ---

// A file is packed when any of its bytes is 0x10 or more.
bool IsPackedFile(const unsigned char* src, std::uint64_t srcLength);

// Tells the form of the whole input; 1 when a piece of it cannot be mapped.
int FindInputForm(MappedFile& in, bool& packed);

// The image's length in locations: the file's length, or twice that when
// packed.
std::uint64_t WorkingLength(std::uint64_t fileSize, bool packed);

// The size rule: a nonzero whole number of chips, counted in 32 bits.
bool IsLegalLength(std::uint64_t length);

// Builds the working image from the input in the form given; its length
// must fit 32 bits. Returns 1 when it cannot be allocated or a piece of the
// input cannot be mapped.
int UnpackImage(RomImage& out, MappedFile& in, bool packed);

// Writes n bytes of a file in the form given as locations.
void FillWorkingImage(unsigned char* dst, const unsigned char* src, std::size_t n, bool packed);

// End-around-carry sum of the 16,384 assembled bytes of the chip at offset.
std::uint8_t ChipChecksum(const unsigned char* image, std::uint32_t offset);

// Sums every chip of length locations (a whole number of chips), held
// either as the working image or as the bytes of a packed file, which are
// the chips' assembled bytes themselves; one sum per chip into sums.
void SumChips(const unsigned char* chips, std::uint32_t length, bool packed, std::uint8_t* sums);

// Sums every chip straight from the input (of a legal length); 1 when a
// piece of it cannot be mapped.
int SumInputChips(MappedFile& in, bool packed, ChipSums& out);

// Prints one line per chip; returns 1 when any chip failed.
int ReportChips(const ChipSums& sums);

// Writes the working image to path and reports a failure; returns 0 or 1.
int OutputImage(const char* path, const RomImage& image);

// --- Operating-system services: image_os_*.cc, image_read_*.cc, image_write_*.cc ---

// Makes closed standard descriptors harmless before anything is opened, and
// sets up whatever else the system needs for the run from its start (on
// Windows: no fault dialogs, the console's code page).
void GuardStandardStreams();

// Opens an existing regular file for reading and maps it: all of it, or
// where the address space is small, its first piece. A file longer than
// kLongestFile is only measured. Whatever it acquired stays recorded in out,
// also on failure. Returns 0 or 1.
int OpenMappedFile(const char* path, MappedFile& out);

// Bytes [offset, offset + length) of the input: in the view, or mapped in a
// new view in its place. Null when they cannot be mapped (no room, or a page
// that cannot be read, which MappedFileChanged then reports).
const unsigned char* MapInput(MappedFile& in, std::uint64_t offset, std::uint64_t length);

// Returns 1 when what was read from the input cannot be trusted: a page of
// it could not be read, or the file is no longer as it was opened.
int MappedFileChanged(const MappedFile& in);

// Releases whatever in holds; safe on a zeroed or partly filled record.
void CloseMappedFile(MappedFile& in);

// One heap block for the working image, not zero-filled; null on failure.
unsigned char* AllocateImage(std::uint32_t length);
void FreeImage(RomImage& image);

// Puts the image at path; 0 when all of it is there, else 1.
int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length);

#endif  // ROMTEST_IMAGE_ROM_IMAGE_H_
