#include "run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

std::string RomtestPath() { return ROMTEST_EXE; }

namespace {

void SetLimit(int resource, long long bytes) {
  if (bytes < 0) return;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(bytes);
  if (setrlimit(resource, &limit) != 0) _exit(126);
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void StartChild(const char* path, const std::vector<char*>& argv,
                             const RunOptions& options, int pipeWrite) {
  if (options.unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
  }
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0) _exit(126);
  if (options.closeStdout) {
    close(1);
  } else if (!options.stdoutPath.empty()) {
    int out = open(options.stdoutPath.c_str(), O_WRONLY);
    if (out < 0 || dup2(out, 1) < 0) _exit(126);
  } else if (dup2(pipeWrite, 1) < 0) {
    _exit(126);
  }
  if (options.fileSizeLimit >= 0) signal(SIGXFSZ, SIG_IGN);
  SetLimit(RLIMIT_FSIZE, options.fileSizeLimit);
  SetLimit(RLIMIT_AS, options.addressSpaceLimit);
  execv(path, argv.data());
  _exit(127);
}

}  // namespace

RunResult RunWithArgv(const std::vector<std::string>& argv, const RunOptions& options) {
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  // Everything the child needs is made before fork: tests may run romtest
  // from several threads at once.
  const std::string path = RomtestPath();
  int fds[2];
  RunResult result;
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) StartChild(path.c_str(), args, options, fds[1]);
  close(fds[1]);
  if (options.brokenPipe) close(fds[0]);
  char buffer[1 << 16];
  ssize_t n;
  while (!options.brokenPipe && (n = read(fds[0], buffer, sizeof buffer)) != 0) {
    if (n > 0) {
      result.out.append(buffer, static_cast<size_t>(n));
    } else if (errno != EINTR) {
      break;
    }
  }
  if (!options.brokenPipe) close(fds[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

RunResult RunRomtest(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv{RomtestPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunWithArgv(argv, options);
}
