// Writing the output on POSIX systems. A regular file is replaced through a
// new file beside it that takes its place in one rename, so that a failure
// leaves the old file as it was; where no such file can be made or renamed,
// the target is written in place, as a plain copy would. Anything else (a
// device, a pipe, a terminal) is written as it is.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <cstdint>
#include <cstring>
#include <string>

#include "rom_image.h"

namespace {

// Writes all of data, in pieces that any system's write() accepts. Where
// the system can, each piece starts on its way to the disk at once, so that
// the final flush waits for less.
int WriteAll(int fd, const unsigned char* data, std::uint64_t length) {
  constexpr std::size_t kPiece = 64u << 20;
  std::uint64_t offset = 0;
  while (offset < length) {
    const std::uint64_t left = length - offset;
    const std::size_t piece = left < kPiece ? static_cast<std::size_t>(left) : kPiece;
    const ssize_t n = write(fd, data + offset, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(fd, static_cast<off_t>(offset), n, SYNC_FILE_RANGE_WRITE);
#endif
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

int SyncToDisk(int fd) { return fsync(fd) != 0 && errno != EINVAL; }

int OpenForWriting(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// "dir/name" -> "dir/", "name" -> "".
std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links in the last component of path, as an open would,
// so that the image replaces the file a link points to, not the link.
int FollowLinks(const char* path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : 1;
    if (!S_ISLNK(st.st_mode)) return 0;
    std::string link(static_cast<std::size_t>(st.st_size) + 256, '\0');
    const ssize_t n = readlink(target.c_str(), &link[0], link.size());
    if (n < 0 || static_cast<std::size_t>(n) >= link.size()) return 1;
    link.resize(static_cast<std::size_t>(n));
    target = link[0] == '/' ? link : DirectoryOf(target) + link;
  }
  return 1;
}

// --- Interruption ---
//
// While the temporary file exists, a signal that would end the run removes it
// first and then ends the run by the same signal, so that the shell sees the
// usual status. A handler can reach only static state, so the file's place
// lives here: the one state the output keeps of its own, for one file at a
// time.
struct PendingFile {
  int directory;  // -1: no temporary file
  char name[256];
};
PendingFile pending = {-1, {}};

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kEndingCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

void OnEndingSignal(int signo) {
  if (pending.directory >= 0) unlinkat(pending.directory, pending.name, 0);
  signal(signo, SIG_DFL);
  raise(signo);  // delivered once the handler returns
}

struct SignalState {
  sigset_t mask;  // the caller's signal mask
  struct sigaction ending[kEndingCount];
  struct sigaction fileSize;
};

void BlockEndingSignals(sigset_t* old) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : kEndingSignals)
    sigaddset(&set, signo);
  sigprocmask(SIG_BLOCK, &set, old);
}

// From here to RestoreSignals an ending signal is held back until the
// temporary file is recorded, and a file size limit fails the write
// (EFBIG) instead of ending the run.
void TakeSignals(SignalState& saved) {
  BlockEndingSignals(&saved.mask);
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnEndingSignal;
  for (int i = 0; i < kEndingCount; ++i) {
    sigaction(kEndingSignals[i], nullptr, &saved.ending[i]);
    // A signal that the caller ignores (a background job's SIGINT) stays so.
    if (saved.ending[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &action, nullptr);
  }
  action.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &action, &saved.fileSize);
}

void LetSignalsThrough(const SignalState& saved) { sigprocmask(SIG_SETMASK, &saved.mask, nullptr); }

void RestoreSignals(const SignalState& saved) {
  BlockEndingSignals(nullptr);
  pending.directory = -1;
  for (int i = 0; i < kEndingCount; ++i)
    sigaction(kEndingSignals[i], &saved.ending[i], nullptr);
  sigaction(SIGXFSZ, &saved.fileSize, nullptr);
  sigprocmask(SIG_SETMASK, &saved.mask, nullptr);
}

// --- What the replaced file had ---

#if defined(__linux__)
// Attributes in the system namespace hold access control lists: a new file
// without them would be open to more users than the old one was.
bool GovernsAccess(const char* name) { return std::strncmp(name, "system.", 7) == 0; }

// Extended attributes go along with the content, the access control list
// among them; it also puts back the group bits that fchmod set to its mask.
// File capabilities are privileges, like set-user-ID: never carried over.
int CopyExtendedAttributes(const std::string& from, int to) {
  std::string names;
  ssize_t n;
  do {
    n = listxattr(from.c_str(), nullptr, 0);
    if (n < 0) return errno == ENOTSUP || errno == ENOSYS ? 0 : 1;
    names.assign(static_cast<std::size_t>(n), '\0');
    n = n == 0 ? 0 : listxattr(from.c_str(), &names[0], names.size());
  } while (n < 0 && errno == ERANGE);  // the list grew meanwhile
  if (n < 0) return 1;
  names.resize(static_cast<std::size_t>(n));

  std::string value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* name = &names[at];
    if (std::strcmp(name, "security.capability") == 0) continue;
    ssize_t size = getxattr(from.c_str(), name, nullptr, 0);
    if (size >= 0) {
      value.assign(static_cast<std::size_t>(size), '\0');
      size = getxattr(from.c_str(), name, &value[0], value.size());
    }
    const bool copied = size >= 0 && fsetxattr(to, name, value.data(), size, 0) == 0;
    if (!copied && GovernsAccess(name)) return 1;
  }
  return 0;
}
#else
int CopyExtendedAttributes(const std::string&, int) { return 0; }
#endif

// The new file gets what an ordinary create would give it, or what the file
// it replaces had: permission bits without set-user-ID and set-group-ID,
// owner and group where allowed, and extended attributes.
int TakeAttributes(int fd, const struct stat* replaced, const std::string& target) {
  if (!replaced) {
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask) != 0;
  }
  if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
    (void)!fchown(fd, static_cast<uid_t>(-1), replaced->st_gid);
  }
  const mode_t mode = replaced->st_mode & 07777 & ~(S_ISUID | S_ISGID);
  return fchmod(fd, mode) != 0 || CopyExtendedAttributes(target, fd) != 0;
}

// --- The ways of writing ---

// A device, pipe, socket or terminal is written as it is, never replaced.
int WriteInto(const char* path, const struct stat& st, const unsigned char* data,
              std::uint32_t length) {
  int fd = OpenForWriting(path, 0);
  // A socket cannot be opened by name; one of ours (standard output
  // handed over as /dev/stdout) can still be written.
  for (int own = 0; fd < 0 && errno == ENXIO && S_ISSOCK(st.st_mode) && own <= 2; ++own) {
    struct stat ownSt;
    if (fstat(own, &ownSt) == 0 && ownSt.st_dev == st.st_dev && ownSt.st_ino == st.st_ino) {
      fd = fcntl(own, F_DUPFD_CLOEXEC, 3);
    }
  }
  if (fd < 0) return 1;
  const int failed = WriteAll(fd, data, length);
  return close(fd) != 0 || failed;
}

// The existing file itself, truncated and written: what a plain copy does,
// for where no new file can take its place. A failure part way leaves it
// partly written.
int WriteInPlace(const std::string& target, const unsigned char* data, std::uint32_t length) {
  SignalState saved;
  TakeSignals(saved);
  LetSignalsThrough(saved);
  const int fd = OpenForWriting(target.c_str(), O_TRUNC);
  int failed = fd < 0;
  if (!failed) {
    failed = WriteAll(fd, data, length) || SyncToDisk(fd);
    failed = close(fd) != 0 || failed;
  }
  RestoreSignals(saved);
  return failed;
}

// Creates ".NAME.XXXXXX" beside the target, relative to its directory, so
// that any target path an open accepts has room for it.
int CreateTemporary(int dir, const std::string& base, std::string& name) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t state = static_cast<std::uint64_t>(now.tv_nsec) ^
                        static_cast<std::uint64_t>(getpid()) << 32 ^
                        static_cast<std::uint64_t>(now.tv_sec);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    name = "." + base.substr(0, 200) + ".";
    for (int i = 0; i < 6; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      name += kDigits[(state >> 33) % 36];
    }
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int OpenDirectory(const std::string& directory) {
#ifdef O_PATH
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // search permission is enough
#else
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  return open(directory.empty() ? "." : directory.c_str(), flags);
}

// Makes the rename itself durable; the image is in place either way.
void SyncDirectory(int dir) {
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

enum Replaced { kDone, kFailed, kNotHere };

// The image goes to a new file beside the target, reaches the disk, and then
// takes the target's place in one rename: a failure at any point leaves the
// old file as it was. kNotHere: the directory or the target does not allow
// that (no new file may be made there, or the rename is refused).
Replaced ReplaceByRename(int dir, const std::string& target, const struct stat* replaced,
                         const unsigned char* data, std::uint32_t length) {
  const std::string base = target.substr(DirectoryOf(target).size());
  SignalState saved;
  TakeSignals(saved);
  std::string temp;
  const int fd = CreateTemporary(dir, base, temp);
  if (fd < 0) {
    const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
    RestoreSignals(saved);
    return refused && replaced ? kNotHere : kFailed;
  }
  pending.directory = dir;
  std::memcpy(pending.name, temp.c_str(), temp.size() + 1);
  LetSignalsThrough(saved);

  int failed = WriteAll(fd, data, length);
  failed = failed || TakeAttributes(fd, replaced, target) || SyncToDisk(fd);
  failed = close(fd) != 0 || failed;
  BlockEndingSignals(nullptr);
  Replaced result = failed ? kFailed : kDone;
  if (!failed && renameat(dir, temp.c_str(), dir, base.c_str()) != 0) {
    // A bind-mounted file, or someone else's in a sticky directory.
    const bool refused = errno == EBUSY || errno == EPERM || errno == EXDEV;
    result = refused && replaced ? kNotHere : kFailed;
  }
  if (result != kDone) unlinkat(dir, temp.c_str(), 0);
  RestoreSignals(saved);
  return result;
}

}  // namespace

int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length) {
  if (!*path) return 1;
  // The system decides, following every link (also /dev/stdout's), whether
  // the path leads to anything but a regular file.
  struct stat st;
  if (stat(path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) return WriteInto(path, st, data, length);
  } else if (errno != ENOENT) {
    return 1;
  }

  std::string target;
  if (FollowLinks(path, target) != 0) return 1;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return 1;
  // Refuse a file the user may not write, as opening it for writing would.
  if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return 1;

  const int dir = OpenDirectory(DirectoryOf(target));
  if (dir < 0) return 1;
  const Replaced replaced = ReplaceByRename(dir, target, exists ? &st : nullptr, data, length);
  if (replaced == kDone) SyncDirectory(dir);
  close(dir);
  if (replaced == kNotHere) return WriteInPlace(target, data, length);
  return replaced == kFailed;
}
