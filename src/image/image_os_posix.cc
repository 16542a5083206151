// File, mapping and heap services on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

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

  void* view = mmap(nullptr, out.size, PROT_READ, MAP_SHARED, fd, 0);
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
  return static_cast<unsigned char*>(malloc(length));
}

void FreeImage(RomImage& image) {
  free(image.data);
  image.data = nullptr;
}
