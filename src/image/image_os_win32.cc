// File, mapping and heap services on Windows.
#include <windows.h>

#include <cstdint>
#include <string>

#include "rom_image.h"

namespace {

HANDLE AsHandle(std::uintptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::uintptr_t Stored(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// Writes all of data; one WriteFile moves at most 4 GiB - 1 bytes.
int WriteAll(HANDLE file, const unsigned char* data, std::uint32_t length) {
  constexpr DWORD kPiece = 1u << 30;
  while (length > 0) {
    const DWORD piece = length < kPiece ? length : kPiece;
    DWORD written = 0;
    if (!WriteFile(file, data, piece, &written, nullptr) || written == 0) return 1;
    data += written;
    length -= written;
  }
  return 0;
}

}  // namespace

// Closed standard handles cannot be taken over by files the tool opens on
// Windows; a report written to a missing standard output fails by itself.
void GuardStandardStreams() {}

int OpenMappedFile(const char* path, MappedFile& out) {
  // Others may read the input meanwhile; none may write it.
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    out.file = 0;
    return 1;
  }
  out.file = Stored(file);
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 1;
  out.size = static_cast<std::uint64_t>(high) << 32 | low;
  if (out.size > kLongestFile) return 0;  // measured, never read

  // An empty file cannot be mapped: that refusal is the empty file's error.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return 1;
  out.mapping = Stored(mapping);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (!view) return 1;
  out.view = static_cast<const unsigned char*>(view);
  return 0;
}

// Windows refuses to shorten a file while a view of it is mapped, and no one
// may write it while it is open.
int MappedFileChanged(const MappedFile&) { return 0; }

void CloseMappedFile(MappedFile& in) {
  if (in.view) UnmapViewOfFile(in.view);
  if (in.mapping) CloseHandle(AsHandle(in.mapping));
  if (in.file) CloseHandle(AsHandle(in.file));
}

unsigned char* AllocateImage(std::uint32_t length) {
  return static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, length));
}

void FreeImage(RomImage& image) {
  if (image.data) HeapFree(GetProcessHeap(), 0, image.data);
  image.data = nullptr;
}

int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length) {
  // The image goes to a new file beside the target, reaches the disk, and
  // then takes the target's place in one move: a failure at any point
  // leaves the old file as it was.
  const std::string target = path;
  const std::size_t cut = target.find_last_of("/\\:");
  const std::string directory = cut == std::string::npos ? "" : target.substr(0, cut + 1);
  const std::string base = target.substr(directory.size());
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 1000 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = directory + "." + base.substr(0, 200) + ".new" + std::to_string(attempt);
    file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return 1;
  }
  if (file == INVALID_HANDLE_VALUE) return 1;
  int failed = WriteAll(file, data, length);
  failed = failed || !FlushFileBuffers(file);
  failed = !CloseHandle(file) || failed;
  failed = failed ||
           !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (failed) {
    DeleteFileA(temp.c_str());
    return 1;
  }
  return 0;
}
