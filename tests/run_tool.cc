#include "run_tool.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "test_files.h"

std::string RomtestPath() {
  const char* exe = std::getenv("ROMTEST_EXE");
  return exe && *exe ? exe : ROMTEST_EXE;
}

std::string Wrapper() {
  const char* wrapper = std::getenv("ROMTEST_WRAPPER");
  return wrapper ? wrapper : "";
}

bool TestingWindowsBuild() { return !Wrapper().empty(); }

namespace {

void SetLimit(int resource, long long bytes) {
  if (bytes < 0) return;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(bytes);
  if (setrlimit(resource, &limit) != 0) _exit(126);
}

bool BecomeNobody() {
  return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void StartChild(const char* path, const std::vector<char*>& argv, char* const* envp,
                             const RunOptions& options, int pipeWrite) {
  for (int signo = 1; signo < NSIG; ++signo)
    signal(signo, SIG_DFL);  // fails harmlessly for SIGKILL, SIGSTOP and unused numbers
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.unprivileged && geteuid() == 0 && !BecomeNobody()) _exit(126);
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
  SetLimit(RLIMIT_FSIZE, options.fileSizeLimit);
  SetLimit(RLIMIT_AS, options.addressSpaceLimit);
  if (options.timeoutSeconds) alarm(options.timeoutSeconds);  // outlives the exec
  execvpe(path, argv.data(), envp);
  _exit(127);
}

// A pipe whose ends close on exec. pipe2 would mark them at once, but macOS
// lacks it; a child that another thread forks in between keeps a copy of
// the ends, which delays the end of file here until that child ends.
// A pipe, or a socket pair where asked, both ends closed on exec.
int OpenPipe(int fds[2], bool socket) {
  if ((socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds)) != 0) return 1;
  for (int i = 0; i < 2; ++i) {
    if (fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) return 1;
  }
  return 0;
}

// A Windows build must end every line in CR LF; the expectations use LF.
void CheckAndFoldLineEnds(std::string& out) {
  std::string folded;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') {
      folded += '\n';
      ++i;
    } else if (out[i] == '\r' || out[i] == '\n') {
      ADD_FAILURE() << "a line does not end in CR LF at byte " << i << " of:\n" << out;
      return;
    } else {
      folded += out[i];
    }
  }
  out = folded;
}

}  // namespace

bool NobodyCanReach(const std::string& path) {
  if (geteuid() != 0) return true;
  const pid_t pid = fork();
  if (pid == 0) _exit(BecomeNobody() && access(path.c_str(), X_OK) == 0 ? 0 : 1);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

RunResult RunWithArgv(const std::vector<std::string>& givenArgv, const RunOptions& options) {
  // Everything the child needs is made before fork: tests may run romtest
  // from several threads at once.
  std::vector<std::string> argv = givenArgv;
  std::string path = options.program.empty() ? RomtestPath() : options.program;
  const std::vector<std::string> emulator = EmulatorCommand();
  if (TestingWindowsBuild()) {
    argv[0] = path;
    argv.insert(argv.begin(), Wrapper());
    path = Wrapper();
  } else if (!emulator.empty()) {
    // qemu-user's -0 hands the program the name it was given.
    std::vector<std::string> words = emulator;
    words.insert(words.end(), {"-0", argv[0], path});
    argv.erase(argv.begin());
    argv.insert(argv.begin(), words.begin(), words.end());
    path = emulator[0];
  }
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The test's environment, less what options.environment sets anew.
  std::vector<std::string> env = options.environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string name(*entry, std::strcspn(*entry, "=") + 1);
    bool replaced = false;
    for (const std::string& set : options.environment)
      replaced = replaced || set.compare(0, name.size(), name) == 0;
    if (!replaced) env.push_back(*entry);
  }
  std::vector<char*> envp;
  for (const std::string& entry : env)
    envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  int fds[2];
  RunResult result;
  if (OpenPipe(fds, options.socketStdout) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) StartChild(path.c_str(), args, envp.data(), options, fds[1]);
  close(fds[1]);
  std::thread watcher;
  if (options.whileRunning) watcher = std::thread(options.whileRunning, pid);
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
  if (watcher.joinable()) watcher.join();
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  if (TestingWindowsBuild()) CheckAndFoldLineEnds(result.out);
  return result;
}

RunResult RunRomtest(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv{options.program.empty() ? RomtestPath() : options.program};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunWithArgv(argv, options);
}
