// File, mapping and heap services on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "rom_image.h"

namespace {

// MappedFile keeps descriptor + 1, so that a zeroed record holds none.
int Descriptor(std::uintptr_t handle) { return static_cast<int>(handle) - 1; }
std::uintptr_t Handle(int fd) { return static_cast<std::uintptr_t>(fd) + 1; }

// A page of the input past the file's end (it was cut short while mapped)
// raises SIGBUS. Map zeros over that page so the read can go on;
// MappedFileShrank then tells the caller to discard what it read.
void OnMappedPageLost(int, siginfo_t* info, void*) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  void* at = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(info->si_addr) & ~(page - 1));
  if (mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
    signal(SIGBUS, SIG_DFL);  // the retried read then ends the process
  }
}

void SetBusHandler(bool guarded) {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  if (guarded) {
    action.sa_sigaction = OnMappedPageLost;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = SIG_DFL;
  }
  sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

void GuardStandardStreams() {
  // Read-only on purpose: a report written to a standard output that was
  // closed must still fail, and no file of ours may take descriptor 0-2.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (open("/dev/null", O_RDONLY | O_NOCTTY) < 0) _exit(1);
    }
  }
}

int OpenMappedFile(const char* path, MappedFile& out) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  int fd;
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 1;
  out.file = Handle(fd);

  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return 1;
  out.size = static_cast<std::uint64_t>(st.st_size);
  if (out.size > SIZE_MAX) return 1;

  // Every byte will be read (but for images too long, refused unread): map
  // all pages in one go rather than fault them in one by one.
  int flags = MAP_SHARED;
#ifdef MAP_POPULATE
  if (out.size <= UINT32_MAX) flags |= MAP_POPULATE;
#endif
  void* view = mmap(nullptr, out.size, PROT_READ, flags, fd, 0);
  if (view == MAP_FAILED) return 1;
  out.view = static_cast<const unsigned char*>(view);
  SetBusHandler(true);
  return 0;
}

int MappedFileShrank(const MappedFile& in) {
  struct stat st;
  if (!in.view) return 0;
  if (fstat(Descriptor(in.file), &st) != 0) return 1;
  return static_cast<std::uint64_t>(st.st_size) < in.size;
}

void CloseMappedFile(MappedFile& in) {
  if (in.view) {
    munmap(const_cast<unsigned char*>(in.view), in.size);
    SetBusHandler(false);
  }
  if (in.file) close(Descriptor(in.file));
}

unsigned char* AllocateImage(std::uint32_t length) {
  // Its own mapping, so that it can ask for huge pages and have them all
  // in place before the image is written.
  void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(block, length, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  madvise(block, length, MADV_POPULATE_WRITE);
#endif
  return static_cast<unsigned char*>(block);
}

void FreeImage(RomImage& image) {
  if (image.data) munmap(image.data, image.length);
  image.data = nullptr;
}

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

// A device or FIFO at the path is written as it is, never replaced.
int WriteInto(const std::string& path, const unsigned char* data, std::uint32_t length) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 1;
  const int failed = WriteAll(fd, data, length);
  return close(fd) != 0 || failed;
}

// The new file gets what an ordinary create would give it, or what the file
// it replaces had: permission bits and, where allowed, owner and group.
int TakeAttributes(int fd, const struct stat* replaced) {
  if (!replaced) {
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, 0666 & ~mask) != 0;
  }
  if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
    (void)!fchown(fd, static_cast<uid_t>(-1), replaced->st_gid);
  }
  return fchmod(fd, replaced->st_mode & 07777) != 0;
}

int SyncToDisk(int fd) { return fsync(fd) != 0 && errno != EINVAL; }

}  // namespace

int WriteImageFile(const char* path, const unsigned char* data, std::uint32_t length) {
  std::string target;
  if (FollowLinks(path, target) != 0) return 1;
  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return 1;
  if (exists && !S_ISREG(st.st_mode)) return WriteInto(target, data, length);
  // Refuse a file the user may not write, as opening it for writing would.
  if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return 1;

  // The image goes to a new file beside the target, reaches the disk, and
  // then takes the target's place in one rename: a failure at any point
  // leaves the old file as it was.
  const std::string directory = DirectoryOf(target);
  std::string base = target.substr(directory.size());
  if (base.size() > 200) base.resize(200);  // room for the suffix within NAME_MAX
  std::string temp = directory + "." + base + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) return 1;
  int failed = WriteAll(fd, data, length);
  failed = failed || TakeAttributes(fd, exists ? &st : nullptr) || SyncToDisk(fd);
  failed = close(fd) != 0 || failed;
  failed = failed || rename(temp.c_str(), target.c_str()) != 0;
  if (failed) {
    unlink(temp.c_str());
    return 1;
  }
  // Make the rename itself durable; the image is in place either way.
  const int dirFd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return 0;
}
