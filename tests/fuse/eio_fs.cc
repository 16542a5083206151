// eio_fs: a file system of one file, image.rom, whose every chip passes but
// whose page at one offset cannot be read (EIO), as a failing disk or a
// network file system gives it.
//   eio_fs MOUNTPOINT CHIPS BAD-OFFSET     (runs until unmounted)
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rom_maker.h"

namespace {

struct Image {
  std::vector<unsigned char> bytes;
  unsigned long long bad;  // reads that touch this offset fail
};

Image& TheImage() { return *static_cast<Image*>(fuse_get_context()->private_data); }

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, "/image.rom") != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(TheImage().bytes.size());
  return 0;
}

int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "image.rom", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if (std::strcmp(path, "/image.rom") != 0) return -ENOENT;
  return (info->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  const Image& image = TheImage();
  const unsigned long long begin = static_cast<unsigned long long>(offset);
  if (begin >= image.bytes.size()) return 0;
  if (size > image.bytes.size() - begin) size = image.bytes.size() - begin;
  if (image.bad >= begin && image.bad < begin + size) return -EIO;
  std::memcpy(buffer, image.bytes.data() + begin, size);
  return static_cast<int>(size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  Image image;
  const unsigned long chips = std::strtoul(argv[2], nullptr, 10);
  image.bad = std::strtoull(argv[3], nullptr, 10);
  image.bytes.resize(chips * 0x4000);
  std::uint64_t state = 12345;
  for (unsigned long n = 0; n < chips; ++n)
    FillPassingChip(image.bytes.data() + n * 0x4000, state);

  fuse_operations operations = {};
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.open = Open;
  operations.read = Read;
  char* fuseArgv[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"), argv[1], nullptr};
  return fuse_main(4, fuseArgv, &operations, &image);
}
