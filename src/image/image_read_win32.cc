// Reading the input on Windows: the file mapped whole, a page of it that
// cannot be read (a dropped network share, a removed drive, a bad sector)
// turned into zeros and noted rather than a crash, and a read that such a
// page or a change of the file made worthless told apart afterwards.
#include <windows.h>

#include <cstdint>

#include "image_win32.h"
#include "rom_image.h"

namespace {

HANDLE AsHandle(std::uintptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::uintptr_t Stored(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

std::int64_t Ticks(const LARGE_INTEGER& time) { return time.QuadPart; }

int StampOf(HANDLE file, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (!GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
    return 1;
  }
  stamp.device = info.dwVolumeSerialNumber;
  stamp.inode = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  stamp.size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  stamp.modified = Ticks(times.LastWriteTime);
  stamp.changed = Ticks(times.ChangeTime);
  return 0;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified == b.modified && a.changed == b.changed;
}

// A page of the view that cannot be read raises EXCEPTION_IN_PAGE_ERROR (an
// access violation where the file was cut short under the system's feet).
// Windows cannot put other memory over a part of a view, so the handler
// gives up the whole view: it unmaps it, reserves the same addresses, and
// commits zeros there piece by piece as the read goes on, so that the read
// runs to its end on bytes that no verdict will use; it notes that it did,
// and MappedFileChanged says so. A handler can reach nothing but static
// state, so the view it guards lives here, the one state of the tool's own;
// there is one view at a time.
struct ViewGuard {
  std::uintptr_t begin, end;  // the view's pages
  void* handler;              // from AddVectoredExceptionHandler
  std::uintptr_t lastPiece;   // the piece last committed, + 1
  volatile LONG replaced;     // the view is gone; its addresses are ours
};
ViewGuard guard;

constexpr std::uintptr_t kPiece = 1u << 20;  // zeros committed per fault

LONG CALLBACK OnViewFault(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  const DWORD code = record->ExceptionCode;
  if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) ||
      record->NumberParameters < 2 || record->ExceptionInformation[0] != 0) {  // reads only
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const std::uintptr_t at = record->ExceptionInformation[1];
  if (at < guard.begin || at >= guard.end) return EXCEPTION_CONTINUE_SEARCH;
  const std::uintptr_t piece = guard.begin + (at - guard.begin) / kPiece * kPiece;
  // A fault that cannot be mended (the same piece again, or addresses that
  // another allocation took first) is left to end the process, which the
  // error mode keeps free of dialogs.
  if (piece + 1 == guard.lastPiece) return EXCEPTION_CONTINUE_SEARCH;
  void* begin = reinterpret_cast<void*>(guard.begin);
  if (!guard.replaced) {
    UnmapViewOfFile(begin);
    guard.replaced = 1;
    if (!VirtualAlloc(begin, guard.end - guard.begin, MEM_RESERVE, PAGE_READONLY)) {
      return EXCEPTION_CONTINUE_SEARCH;
    }
  }
  const std::uintptr_t end = guard.end - piece < kPiece ? guard.end : piece + kPiece;
  if (!VirtualAlloc(reinterpret_cast<void*>(piece), end - piece, MEM_COMMIT, PAGE_READONLY)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  guard.lastPiece = piece + 1;
  return EXCEPTION_CONTINUE_EXECUTION;
}

void GuardView(const void* view, std::uint64_t size) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::uintptr_t page = system.dwPageSize;
  guard.begin = reinterpret_cast<std::uintptr_t>(view);
  guard.end = guard.begin + (static_cast<std::uintptr_t>(size) + page - 1) / page * page;
  guard.lastPiece = 0;
  guard.replaced = 0;
  guard.handler = AddVectoredExceptionHandler(1, OnViewFault);
}

void UnguardView() {
  if (guard.handler) RemoveVectoredExceptionHandler(guard.handler);
  guard = ViewGuard{};
}

}  // namespace

int OpenMappedFile(const char* path, MappedFile& out) {
  if (!NameIsExact(path)) return 1;
  // Others may read the input meanwhile; none may write it.
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  out.file = Stored(file);
  // Only a file on a disk is an image; a device or a pipe is refused.
  if (GetFileType(file) != FILE_TYPE_DISK || StampOf(file, out.opened) != 0) return 1;
  out.size = out.opened.size;
  if (out.size > kLongestFile) return 0;  // measured, never read

  // An empty file cannot be mapped: that refusal is the empty file's error.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return 1;
  out.mapping = Stored(mapping);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (!view) return GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? 0 : 1;  // no room to hold it
  out.view = static_cast<const unsigned char*>(view);
  out.viewLength = out.size;
  GuardView(view, out.size);
  return 0;
}

// The view holds the whole file (Windows builds are 64-bit): a piece of it
// is there or nowhere.
const unsigned char* MapInput(MappedFile& in, std::uint64_t offset, std::uint64_t length) {
  if (!in.view || offset + length > in.viewLength) return nullptr;
  return in.view + offset;
}

int MappedFileChanged(const MappedFile& in) {
  if (!in.view) return 0;  // nothing was read
  if (guard.replaced) return 1;
  // No one may write the file while it is open, but a program of another
  // system sharing the disk (or Wine's host) is not asked.
  FileStamp now;
  return StampOf(AsHandle(in.file), now) != 0 || !SameStamp(now, in.opened);
}

void CloseMappedFile(MappedFile& in) {
  if (in.view) {
    void* view = const_cast<unsigned char*>(in.view);
    if (guard.replaced) {
      VirtualFree(view, 0, MEM_RELEASE);
    } else {
      UnmapViewOfFile(view);
    }
    UnguardView();
  }
  if (in.mapping) CloseHandle(AsHandle(in.mapping));
  if (in.file) CloseHandle(AsHandle(in.file));
}
