// pair_time: times two commands as whole processes, alternating them.
//   pair_time PAIRS PREP -- A... -- B...
// Runs PREP (a shell command, may be "") before every run, outside the
// timing; after one warm-up run of each, runs A B A B ... PAIRS times, and
// prints the median of the per-pair ratios A/B, both medians in ms, and the
// largest peak resident memory of A in MiB. Standard output goes to /dev/null;
// every run must exit with status 0.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Runs argv with standard output on /dev/null; returns wall ms, sets peak RSS.
double Run(std::vector<char*>& argv, long& peakKiB) {
  const double start = Now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("pair_time: fork");
    std::exit(1);
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    std::perror("pair_time: wait4");
    std::exit(1);
  }
  const double ms = Now() - start;
  // A run that failed would time something else than the work asked for.
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "pair_time: %s failed\n", argv[0]);
    std::exit(1);
  }
  peakKiB = usage.ru_maxrss;
  return ms;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Prep(const char* command) {
  if (*command && std::system(command) != 0) {
    std::fprintf(stderr, "pair_time: '%s' failed\n", command);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: pair_time PAIRS PREP -- A... -- B...\n");
    return 2;
  }
  // A count that is not a whole number of at least one would leave no
  // ratio to take the median of.
  char* end = nullptr;
  const long pairs = std::strtol(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || pairs < 1 || pairs > 100000) {
    std::fprintf(stderr, "pair_time: PAIRS must be a whole number from 1 to 100000, not '%s'\n",
                 argv[1]);
    return 2;
  }
  const char* prep = argv[2];
  std::vector<char*> a, b;
  int i = 4;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    a.push_back(argv[i]);
  const bool separated = i < argc;
  for (++i; i < argc; ++i)
    b.push_back(argv[i]);
  if (a.empty() || !separated || b.empty()) {
    std::fprintf(stderr, "usage: pair_time PAIRS PREP -- A... -- B...\n");
    return 2;
  }
  a.push_back(nullptr);
  b.push_back(nullptr);

  long peak = 0, ignored = 0, maxPeak = 0;
  Prep(prep);
  Run(a, ignored);
  Prep(prep);
  Run(b, ignored);
  std::vector<double> ratios, msA, msB;
  for (long n = 0; n < pairs; ++n) {
    Prep(prep);
    msA.push_back(Run(a, peak));
    maxPeak = std::max(maxPeak, peak);
    Prep(prep);
    msB.push_back(Run(b, ignored));
    ratios.push_back(msA.back() / msB.back());
  }
  std::printf("%6.2f x  %9.1f ms  %9.1f ms  %8.1f MiB\n", Median(ratios), Median(msA), Median(msB),
              static_cast<double>(maxPeak) / 1024);
  return 0;
}
