// Process-wide services on Windows: the error mode, the console's code page,
// the arguments as typed, and the working image's memory.
#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image_win32.h"
#include "rom_image.h"

namespace {

// The console's output code page as the run found it, 0 when the run left
// it alone. An exit handler (and the interruption handler, which ends the
// run without one) can reach only static state, so it lives here.
UINT savedOutputPage = 0;

void RestoreAtExit() { RestoreConsole(); }

// Converts a wide string to the program's code page, exactly or not at all:
// no best-fit look-alike, no default character, no broken surrogate pair.
bool ConvertExactly(const wchar_t* wide, std::string& out) {
  const UINT page = GetACP();
  const bool utf8 = page == CP_UTF8;
  // UTF-8 holds every character: only invalid UTF-16 can fail, and the
  // system refuses the default-character question for it.
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* askDefault = utf8 ? nullptr : &usedDefault;
  const int size = WideCharToMultiByte(page, flags, wide, -1, nullptr, 0, nullptr, askDefault);
  if (size <= 0 || usedDefault) return false;
  out.assign(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(page, flags, wide, -1, &out[0], size, nullptr, askDefault) != size ||
      usedDefault) {
    return false;
  }
  out.resize(static_cast<std::size_t>(size) - 1);
  return true;
}

}  // namespace

void RestoreConsole() {
  if (savedOutputPage) SetConsoleOutputCP(savedOutputPage);
  savedOutputPage = 0;
}

// On Windows nothing the tool opens can take over a closed standard handle,
// and a report written to a missing standard output fails by itself. What
// the start needs instead: no dialog of the system's for a fault or a drive
// that is not ready (a run fails, it never waits for a click), and a console
// that shows the program's strings, names included, in the code page that
// they are in (UTF-8 where the manifest is honoured).
void GuardStandardStreams() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  DWORD mode = 0;
  const UINT page = GetACP();
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    const UINT old = GetConsoleOutputCP();
    if (old != 0 && old != page && SetConsoleOutputCP(page)) {
      savedOutputPage = old;
      std::atexit(RestoreAtExit);
    }
  }
}

int NameIsExact(const char* path) {
  // The usual case: the whole command line fits the code page, so every
  // argument is as typed.
  const wchar_t* line = GetCommandLineW();
  std::string narrow;
  if (ConvertExactly(line, narrow)) return 1;

  // Otherwise only an exact argument may be used. The start-up code hands
  // the program copies of the arguments, so the path is told by its text:
  // it must match at least one argument, and every argument that it matches
  // must be exact (a look-alike may equal another argument, "Ł.rom L.rom").
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(line, &count);
  if (!wide) return 0;
  int matched = 0, exact = count == __argc;
  for (int i = 1; exact && i < count; ++i) {
    if (std::strcmp(__argv[i], path) != 0) continue;
    ++matched;
    exact = ConvertExactly(wide[i], narrow) && narrow == __argv[i];
  }
  LocalFree(wide);
  return exact && matched > 0;
}

unsigned char* AllocateImage(std::uint32_t length) {
  return static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, length));
}

void FreeImage(RomImage& image) {
  if (image.data) HeapFree(GetProcessHeap(), 0, image.data);
  image.data = nullptr;
}
