// Runs the built romtest as a child process and collects what it printed.
#ifndef ROMTEST_TESTS_RUN_TOOL_H_
#define ROMTEST_TESTS_RUN_TOOL_H_

#include <string>
#include <vector>

struct RunOptions {
  std::string cwd;                   // empty: the test's own
  std::string stdoutPath;            // empty: captured through a pipe
  bool closeStdout = false;          // start with descriptor 1 closed
  bool brokenPipe = false;           // standard output a pipe that nobody reads
  bool unprivileged = false;         // when run as root, run as nobody (65534)
  long long fileSizeLimit = -1;      // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  long long addressSpaceLimit = -1;  // RLIMIT_AS in bytes
};

struct RunResult {
  std::string out;  // everything written to standard output
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, if any
};

// Path of the romtest executable under test.
std::string RomtestPath();

// Runs argv as given: argv[0] is the program name the child sees.
RunResult RunWithArgv(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs romtest with these arguments after the program name.
RunResult RunRomtest(const std::vector<std::string>& args, const RunOptions& options = {});

#endif  // ROMTEST_TESTS_RUN_TOOL_H_
