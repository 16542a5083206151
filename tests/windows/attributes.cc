// attributes PATH [HEX]: sets PATH's file attributes to HEX when given, as
// attrib does, then prints them in hex; exits 1 when either call fails.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  if (argc == 3 && !SetFileAttributesA(argv[1], std::strtoul(argv[2], nullptr, 16))) return 1;
  const DWORD attributes = GetFileAttributesA(argv[1]);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 1;
  std::printf("%lx\n", attributes);
  return 0;
}
