// What the Win32 twin's files share with each other; only they include it.
#ifndef ROMTEST_IMAGE_IMAGE_WIN32_H_
#define ROMTEST_IMAGE_IMAGE_WIN32_H_

// 1 when path, one of the program's arguments, names exactly what was typed:
// where the code page cannot hold a character of the command line, the
// system hands the program a look-alike (or '?') in its place, and such an
// argument must never be opened. 0 for a look-alike.
int NameIsExact(const char* path);

// Puts the console's output code page back as the run found it.
void RestoreConsole();

#endif  // ROMTEST_IMAGE_IMAGE_WIN32_H_
