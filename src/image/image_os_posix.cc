// Process-wide services on POSIX systems: the standard descriptors and the
// working image's memory.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "rom_image.h"

void GuardStandardStreams() {
  // Read-only on purpose: a report written to a standard output that was
  // closed must still fail, and no file of ours may take descriptor 0-2.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (open("/dev/null", O_RDONLY | O_NOCTTY) < 0) _exit(1);
    }
  }
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
