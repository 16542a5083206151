// hold_open read|write PATH: opens PATH as another Windows program would
// (read: share nothing; write: let others read and write), prints "ready",
// and holds it open until its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool write = std::strcmp(argv[1], "write") == 0;
  HANDLE file = CreateFileA(argv[2], write ? GENERIC_WRITE : GENERIC_READ,
                            write ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
  }
  CloseHandle(file);
  return 0;
}
