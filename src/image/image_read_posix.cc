// Reading the input on POSIX systems: the file mapped whole, its pages
// brought in before they are read, and a read that a lost page or a change
// of the file made worthless told apart afterwards.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "rom_image.h"

namespace {

// MappedFile keeps descriptor + 1, so that a zeroed record holds none.
int Descriptor(std::uintptr_t handle) { return static_cast<int>(handle) - 1; }
std::uintptr_t Handle(int fd) { return static_cast<std::uintptr_t>(fd) + 1; }

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp = {};
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  stamp.modified = st.st_mtimespec.tv_sec * 1000000000LL + st.st_mtimespec.tv_nsec;
  stamp.changed = st.st_ctimespec.tv_sec * 1000000000LL + st.st_ctimespec.tv_nsec;
#else
  stamp.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
#endif
  return stamp;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified == b.modified && a.changed == b.changed;
}

// A page of the view that cannot be read (the file was cut short, or the
// disk or file system failed) raises SIGBUS. The handler maps a page of zeros
// over it so that the read can run to its end, and notes that it did: the
// read is then worthless and MappedFileChanged says so. A handler can reach
// nothing but static state, so the view it guards lives here, the one state
// of the tool's own; there is one view at a time.
struct BusGuard {
  std::uintptr_t begin, end;  // the view
  std::uintptr_t pageSize;
  std::uintptr_t lastPage;  // the page last mended, + 1
  volatile sig_atomic_t faulted;
};
BusGuard guard;

void OnBusError(int, siginfo_t* info, void*) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const std::uintptr_t page = at & ~(guard.pageSize - 1);
  // A fault that cannot be mended (outside the view, or the same page again)
  // gets the default action back: the retried access then ends the process
  // rather than spin.
  if (at < guard.begin || at >= guard.end || page + 1 == guard.lastPage ||
      mmap(reinterpret_cast<void*>(page), guard.pageSize, PROT_READ,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
    signal(SIGBUS, SIG_DFL);
    return;
  }
  guard.lastPage = page + 1;
  guard.faulted = 1;
}

// Guards a new view; a fault noted in an earlier view of the same file
// stays noted.
void GuardView(const void* view, std::uint64_t size) {
  guard.begin = reinterpret_cast<std::uintptr_t>(view);
  guard.end = guard.begin + static_cast<std::uintptr_t>(size);
  guard.pageSize = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  guard.lastPage = 0;
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &action, nullptr);
}

void UnguardView() {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &action, nullptr);
  guard.begin = guard.end = guard.lastPage = 0;
  guard.faulted = 0;
}

// Brings every page of the view in before it is read, in one call rather
// than a fault per page. Where the system lacks the call, pages fault in
// while they are read, under the guard above.
int Prefault(const void* view, std::uint64_t size) {
#ifdef MADV_POPULATE_READ
  int result;
  do {
    result = madvise(const_cast<void*>(view), static_cast<std::size_t>(size), MADV_POPULATE_READ);
  } while (result != 0 && errno == EINTR);
  // EINVAL: a kernel older than the call. Anything else (EIO, EFAULT for a
  // file cut short meanwhile) is a page that cannot be read.
  if (result != 0 && errno != EINVAL) return 1;
#else
  (void)view;
  (void)size;
#endif
  return 0;
}

// Maps [offset, offset + length) of the file as the view, guarded, and
// brings its pages in. 1 when there is no room for it.
int MapView(MappedFile& in, std::uint64_t offset, std::uint64_t length) {
  const std::size_t n = static_cast<std::size_t>(length);
  void* view =
      mmap(nullptr, n, PROT_READ, MAP_SHARED, Descriptor(in.file), static_cast<off_t>(offset));
  if (view == MAP_FAILED) return 1;
  in.view = static_cast<const unsigned char*>(view);
  in.viewOffset = offset;
  in.viewLength = length;
  GuardView(view, length);
  if (Prefault(view, length) != 0) guard.faulted = 1;
  return 0;
}

void UnmapView(MappedFile& in) {
  if (!in.view) return;
  munmap(const_cast<unsigned char*>(in.view), static_cast<std::size_t>(in.viewLength));
  in.view = nullptr;
  in.viewLength = 0;
}

}  // namespace

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
  out.opened = StampOf(st);
  if (out.size > kLongestFile) return 0;  // measured, never read

  // All of the file in one view where the address space is large; where it
  // is small (32 bits), one piece at a time, so that a large file and the
  // working image built from it both fit. No room even for that is a run
  // without memory, told by the view that is missing.
  const bool roomy = SIZE_MAX > UINT32_MAX;
  guard.faulted = 0;
  MapView(out, 0, roomy ? out.size : InputPieceAt(out, 0));
  return guard.faulted;  // a page that cannot be read, found at once
}

const unsigned char* MapInput(MappedFile& in, std::uint64_t offset, std::uint64_t length) {
  if (in.view && offset >= in.viewOffset && offset + length <= in.viewOffset + in.viewLength) {
    return in.view + (offset - in.viewOffset);
  }
  if (guard.faulted) return nullptr;  // the read is worthless already
  UnmapView(in);
  if (MapView(in, offset, length) != 0 || guard.faulted) return nullptr;
  return in.view;
}

int MappedFileChanged(const MappedFile& in) {
  if (!in.file || in.size > kLongestFile) return 0;  // nothing was read
  if (guard.faulted) return 1;
  struct stat st;
  return fstat(Descriptor(in.file), &st) != 0 || !SameStamp(StampOf(st), in.opened);
}

void CloseMappedFile(MappedFile& in) {
  UnmapView(in);
  UnguardView();
  if (in.file) close(Descriptor(in.file));
}
