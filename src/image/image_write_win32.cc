// Writing the output on Windows. A file on a disk is replaced through a new
// file beside it that takes its place in one step, keeping what the system
// keeps for a replaced file (attributes, access control list, streams,
// creation time), so that a failure leaves the old file as it was; where no
// such file can be made, an existing target is written in place, as a plain
// copy would. A device (NUL, CON, COM1, \\.\NUL) or a stream of a file
// (x.rom:s) is written as it is, with the plain create that a program of
// this system uses.
#include <windows.h>

#include <cstdint>
#include <string>

#include "image_win32.h"
#include "rom_image.h"

namespace {

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

// The plain create: a new file, or an existing one truncated.
int WriteDirectly(const char* path, DWORD attributes, const unsigned char* data,
                  std::uint32_t length) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  const int failed = WriteAll(file, data, length);
  return !CloseHandle(file) || failed;
}

// Lengths in UTF-16 units, in which the system counts its path limits.
std::size_t Units(const std::string& text) {
  if (text.empty()) return 0;
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  return units > 0 ? static_cast<std::size_t>(units) - 1 : text.size();
}

// The last component's start: after the last separator, or a drive's colon.
std::size_t NameStart(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  if (cut != std::string::npos) return cut + 1;
  return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

// A device, by name anywhere (NUL, nul.txt, C:\x\CON) or by device path
// (\\.\NUL, \\.\COM1), which the system's own path rules tell; or a stream
// of a file, a colon in the last component. Either is written as it is.
bool WrittenAsItIs(const std::string& path) {
  if (path.find(':', NameStart(path)) != std::string::npos) return true;
  if (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0) return true;
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH && std::string(full, n).compare(0, 4, "\\\\.\\") == 0;
}

// The path made absolute, as the system would make it.
int FullPath(const std::string& path, std::string& full) {
  full.assign(MAX_PATH, '\0');
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, &full[0], nullptr);
  if (n >= MAX_PATH) {
    full.assign(n, '\0');
    n = GetFullPathNameA(path.c_str(), n, &full[0], nullptr);
  }
  if (n == 0 || n >= full.size()) return 1;
  full.resize(n);
  return 0;
}

// Where an existing target leads, so that the image replaces the file that
// a symbolic link points to, not the link: the system's final path of the
// file, also where the link does not show as one (Wine's host links). A
// file whose final path the system cannot tell is taken as named.
int FollowLinks(const std::string& path, std::string& target) {
  if (FullPath(path, target) != 0) return 1;
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  std::string final(MAX_PATH, '\0');
  DWORD n = GetFinalPathNameByHandleA(file, &final[0], MAX_PATH, FILE_NAME_NORMALIZED);
  if (n >= MAX_PATH) {
    final.assign(n, '\0');
    n = GetFinalPathNameByHandleA(file, &final[0], n, FILE_NAME_NORMALIZED);
  }
  CloseHandle(file);
  if (n == 0 || n >= final.size()) return 0;
  final.resize(n);
  // "\\?\C:\dir\file" is also "C:\dir\file" and "\\?\UNC\server\share"
  // is "\\server\share", which the calls below take up to the usual limit.
  if (final.compare(0, 8, "\\\\?\\UNC\\") == 0) {
    final.erase(2, 6);
  } else if (final.compare(0, 4, "\\\\?\\") == 0) {
    final.erase(0, 4);
  }
  if (Units(final) < MAX_PATH || Units(final) <= Units(target)) target = final;
  return 0;
}

// --- Interruption ---
//
// While the temporary file exists, Ctrl+C, Ctrl+Break or a closed console
// window removes it before the run ends as the system ends it. The handler
// runs on a thread of its own: the lock keeps it from removing the file
// while it takes the target's place. A handler can reach only static state,
// so the file's name lives here: the one state the output keeps of its own,
// for one file at a time.
struct PendingFile {
  SRWLOCK lock;
  const char* name;  // null: no temporary file
};
PendingFile pending = {SRWLOCK_INIT, nullptr};

BOOL WINAPI OnConsoleEvent(DWORD) {
  AcquireSRWLockExclusive(&pending.lock);
  if (pending.name) DeleteFileA(pending.name);  // gone once the process ends
  RestoreConsole();
  ExitProcess(STATUS_CONTROL_C_EXIT);  // as the system's own handler ends a run
}

// --- The temporary file ---

// Names compare without regard to ASCII case, as the file system does.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] - 'A' + 'a' : b[i];
    if (x != y) return false;
  }
  return true;
}

// Creates a new file beside the target, given as its absolute path:
// ".NAME.XXXXXXXX", or where that would make a path too long that the
// target's is not, a name no longer than the room left. The digits come
// from a sequence seeded by the process and the time, and a name taken is
// passed over for the next, so that stale files never stand in the way.
// The file may be removed while open, for the interruption handler.
HANDLE CreateTemporary(const std::string& full, std::string& temp) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string directory = full.substr(0, NameStart(full));
  const std::string base = full.substr(directory.size());
  // Within the usual limit (MAX_PATH less the terminating null), or as long
  // as the target's own name.
  const std::size_t used = Units(directory), limit = MAX_PATH - 1;
  const std::size_t room = used < limit ? limit - used : 0;
  const std::size_t fits = room > Units(base) ? room : Units(base);
  if (fits == 0) return INVALID_HANDLE_VALUE;
  const bool named = Units(base) + 10 <= fits && Units(base) + 10 <= 255;

  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::uint64_t state = static_cast<std::uint64_t>(now.QuadPart) ^
                        static_cast<std::uint64_t>(GetCurrentProcessId()) << 32;
  // A bound only for the few names that a path at its limit leaves room
  // for; eight digits are 36^8 names, never all taken.
  int refused = 0;
  for (long attempt = 0; attempt < 1L << 16; ++attempt) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::string id;
    const std::size_t digits = named ? 8 : (fits > 9 ? 8 : fits - (fits > 1));
    for (std::uint64_t x = state >> 16; id.size() < digits; x /= 36)
      id += kDigits[x % 36];
    const std::string name = (named ? "." + base + "." : fits > 1 ? "." : "") + id;
    if (SameName(name, base)) continue;  // a short name could be the target's own
    temp = directory + name;
    HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    // A name whose file is still being removed is refused, not "taken":
    // a few of those are passed over as well.
    if (error == ERROR_ACCESS_DENIED && ++refused < 8) continue;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// --- Taking the target's place ---

bool InUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// An existing file is replaced with ReplaceFileA, which keeps what the old
// file had; a new one is moved into place. Another program that has one of
// the files open for a moment (a virus scanner, an indexer) gets about a
// second to let go.
int TakePlace(const std::string& temp, const std::string& target) {
  for (int attempt = 0;; ++attempt) {
    const DWORD attributes = GetFileAttributesA(target.c_str());
    BOOL done;
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      // Asked first whether the old file can go now: some ReplaceFileA
      // (Wine's) leaves a file of its own behind when it cannot.
      HANDLE old = CreateFileA(target.c_str(), GENERIC_READ | DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
      done = old != INVALID_HANDLE_VALUE;
      if (done) {
        CloseHandle(old);
        done = ReplaceFileA(target.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr);
      }
    } else {
      done = MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    }
    if (done) return 0;
    const DWORD error = GetLastError();
    // The target came or went meanwhile: the other way fits it.
    const bool other = error == ERROR_FILE_NOT_FOUND || error == ERROR_ALREADY_EXISTS ||
                       error == ERROR_FILE_EXISTS;
    if (attempt >= 20 || !(other || InUse(error))) return 1;
    if (!other) Sleep(50);
  }
}

enum Replaced { kDone, kFailed, kNotHere };

// The image goes to a new file beside the target, reaches the disk, and
// then takes the target's place: a failure at any point leaves the old
// file as it was. kNotHere: no new file may be made in the directory.
Replaced ReplaceThroughTemporary(const std::string& target, DWORD oldAttributes,
                                 const unsigned char* data, std::uint32_t length) {
  std::string temp;
  // The handler is in place, and waits, before the file exists.
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  AcquireSRWLockExclusive(&pending.lock);
  HANDLE file = CreateTemporary(target, temp);
  const DWORD error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) pending.name = temp.c_str();
  ReleaseSRWLockExclusive(&pending.lock);
  if (file == INVALID_HANDLE_VALUE) {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    const bool refused = error == ERROR_ACCESS_DENIED;
    return refused && oldAttributes != INVALID_FILE_ATTRIBUTES ? kNotHere : kFailed;
  }
  int failed = WriteAll(file, data, length);
  failed = failed || !FlushFileBuffers(file);
  failed = !CloseHandle(file) || failed;
  AcquireSRWLockExclusive(&pending.lock);
  // Hidden and system files stay so; ReplaceFileA keeps the rest.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (!failed && oldAttributes != INVALID_FILE_ATTRIBUTES && (oldAttributes & kKept)) {
    failed = !SetFileAttributesA(temp.c_str(), oldAttributes & kKept);
  }
  failed = failed || TakePlace(temp, target);
  if (failed) DeleteFileA(temp.c_str());
  pending.name = nullptr;
  ReleaseSRWLockExclusive(&pending.lock);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  return failed ? kFailed : kDone;
}

}  // namespace

int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length) {
  if (!*path || !NameIsExact(path)) return 1;
  if (WrittenAsItIs(path)) return WriteDirectly(path, FILE_ATTRIBUTE_NORMAL, data, length);

  // Absolute: ReplaceFileA is not everywhere at ease with a relative path.
  std::string target;
  if (FollowLinks(path, target) != 0) return 1;
  const DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // Refuse what the user may not write (a read-only file, a directory, a
    // file that its access control list closes), as opening it for writing
    // would; a file that another program has open is told apart later.
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) return 1;
    const bool onDisk = file == INVALID_HANDLE_VALUE || GetFileType(file) == FILE_TYPE_DISK;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!onDisk) return WriteDirectly(target.c_str(), FILE_ATTRIBUTE_NORMAL, data, length);
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    return 1;
  }
  const Replaced replaced = ReplaceThroughTemporary(target, attributes, data, length);
  if (replaced != kNotHere) return replaced == kFailed;
  // A directory that refuses new files, holding a file that may be written.
  // The plain create would refuse a hidden or system file without them.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return WriteDirectly(target.c_str(),
                       attributes & kKept ? attributes & kKept : FILE_ATTRIBUTE_NORMAL, data,
                       length);
}
