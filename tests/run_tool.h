// Runs the built romtest as a child process and collects what it printed.
#ifndef ROMTEST_TESTS_RUN_TOOL_H_
#define ROMTEST_TESTS_RUN_TOOL_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The child starts as a shell would start it: every signal at its default
// action and none blocked, standard input on /dev/null.
struct RunOptions {
  std::string program;               // empty: RomtestPath()
  std::string cwd;                   // empty: the test's own
  std::string stdoutPath;            // empty: captured through a pipe
  bool closeStdout = false;          // start with descriptor 1 closed
  bool brokenPipe = false;           // standard output a pipe that nobody reads
  bool socketStdout = false;         // captured through a socket, not a pipe
  bool unprivileged = false;         // when run as root, run as nobody (65534)
  long long fileSizeLimit = -1;      // RLIMIT_FSIZE in bytes
  long long addressSpaceLimit = -1;  // RLIMIT_AS in bytes
  unsigned timeoutSeconds = 0;       // nonzero: SIGALRM ends a run that hangs
  // "NAME=value" entries that the child gets on top of the test's own.
  std::vector<std::string> environment;
  // Called on another thread with the child's pid while the child runs;
  // the run is collected once it returns.
  std::function<void(pid_t)> whileRunning;
};

struct RunResult {
  std::string out;  // everything written to standard output
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, if any
};

// The romtest under test: the one this build made, or the one that
// ROMTEST_EXE names. With ROMTEST_WRAPPER set (to wine) it is a Windows
// build, run through the wrapper; its lines must end in CR LF, which
// RunWithArgv checks and turns into LF so that the expectations hold for
// both. Otherwise it is a POSIX build, run under EmulatorCommand() where
// that is not empty (test_files.h): a cross build under qemu-user.
std::string RomtestPath();
std::string Wrapper();
bool TestingWindowsBuild();

// Skips a test whose subject only POSIX systems have.
#define SKIP_ON_WINDOWS_BUILD() \
  if (TestingWindowsBuild()) GTEST_SKIP() << "POSIX only"

// The uid and gid of the unprivileged user that tests run as, when root.
constexpr int kNobody = 65534;

// Whether nobody can reach (search) path; always true when not root.
bool NobodyCanReach(const std::string& path);

// Options that run the child in dir.
inline RunOptions InDir(const std::string& dir) {
  RunOptions options;
  options.cwd = dir;
  return options;
}

// Runs argv as given: argv[0] is the program name the child sees (not so
// for a Windows build, which sees the path of the executable).
RunResult RunWithArgv(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs romtest with these arguments after the program name.
RunResult RunRomtest(const std::vector<std::string>& args, const RunOptions& options = {});

#endif  // ROMTEST_TESTS_RUN_TOOL_H_
