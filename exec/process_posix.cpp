#include <errno.h>
#include <stdlib.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "exec/process.h"
#include "fs/path.h"

// Children get an argument vector here, so nothing is quoted: arguments reach the child
// byte for byte. A program name without a slash is looked up along PATH, as a shell
// does; one with a slash is used as it stands.
extern char** environ;

namespace Process {

namespace {

Result notStarted() { return Result{}; }

// The program is rejected exactly when its Windows conversion would be.
bool usableProgram(std::string const& program) { return !FS::toWide(program).empty(); }

// argv for exec: pointers into the caller's strings, program first, null at the end.
// Built before any fork, since the child of a fork may not allocate.
std::vector<char*> argumentVector(std::string const& program, std::vector<std::string> const& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (std::string const& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Moves a descriptor above the standard three: a pipe end that landed on 0, 1 or 2
// (because the launcher was started with one of them closed) would be lost when the
// child's standard descriptors are set up.
bool liftAboveStandard(int& fd) {
  if (fd > STDERR_FILENO) return true;
  int const lifted = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  close(fd);
  fd = lifted;
  return true;
}

bool makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  if (liftAboveStandard(fds[0]) && liftAboveStandard(fds[1])) return true;
  close(fds[0]);
  close(fds[1]);
  return false;
}

// Reads the descriptor to its end into out in pieces of 4096 bytes; a read error ends
// reading like the end of the data does.
void readToEnd(int fd, std::string& out) {
  char buffer[4096];
  for (;;) {
    ssize_t const got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    out.append(buffer, static_cast<size_t>(got));
  }
}

// The files to try executing, in order: the program itself when it names a path, else
// the name in each PATH directory (an empty element meaning the working directory).
// This is the search posix_spawnp makes; done before forking, since the child of a fork
// may not allocate. execvp is not used because it hands an unrecognised file to the
// shell instead of failing.
std::vector<std::string> executionCandidates(std::string const& program) {
  if (program.find('/') != std::string::npos) return {program};
  char const* path = getenv("PATH");
  std::string const directories = path ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  size_t begin = 0;
  for (;;) {
    size_t const end = directories.find(':', begin);
    std::string const directory = directories.substr(begin, end == std::string::npos ? end : end - begin);
    candidates.push_back(directory.empty() ? program : directory + "/" + program);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return candidates;
}

// The child's wait status, or false when it cannot be had (for instance when SIGCHLD is
// ignored and the system reaped the child already).
bool waitFor(pid_t pid, int& status) {
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return true;
    if (errno != EINTR) return false;
  }
}

// A normal exit gives its code; a child killed by a signal gives 128 + the signal
// number, as a shell reports it, so such a run is never taken for a success.
int32_t exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

// Returns {false, -1, ""} when the program name is unusable, the pipe cannot be made or
// the program cannot be executed (posix_spawn reports a failed exec to the caller);
// otherwise started with stdout and stderr read to their end through one pipe.
Result run(std::string const& program, std::vector<std::string> const& arguments) {
  if (!usableProgram(program)) return notStarted();
  std::vector<char*> argv = argumentVector(program, arguments);

  int fds[2];
  if (!makePipe(fds)) return notStarted();
  int const readEnd = fds[0];
  int const writeEnd = fds[1];

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // Both output streams go to the one pipe, so they interleave in the order written.
  // The pipe's own descriptors are close-on-exec and vanish in the child.
  posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writeEnd, STDERR_FILENO);
  // A tool must not inherit the launcher's ignored or blocked signals (an ignored SIGPIPE
  // would change how it ends).
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int const spawned = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // The launcher's write end must go whatever happened, or reading below would wait for
  // ever on a pipe this process itself keeps open.
  close(writeEnd);
  if (spawned != 0) {
    close(readEnd);
    return notStarted();
  }

  Result result;
  result.started = true;
  // Read everything before waiting: a child writing more than the pipe holds would
  // otherwise block on a full pipe while the launcher waits for it to end.
  readToEnd(readEnd, result.output);
  close(readEnd);

  int status = 0;
  if (waitFor(pid, status)) result.exitCode = exitCodeOf(status);
  return result;
}

// Starts the program in a session of its own through an intermediate child that ends at
// once, so the program is adopted by the system (never left a zombie of the launcher,
// never hung up with the launcher's terminal) and outlives the launcher. It inherits the
// environment and working directory but no descriptor: its standard streams read and
// write /dev/null, so it never holds a pipe the launcher's own caller is reading.
// True when the program was executed.
bool start(std::string const& program, std::vector<std::string> const& arguments) {
  if (!usableProgram(program)) return false;
  std::vector<char*> argv = argumentVector(program, arguments);
  std::vector<std::string> const candidates = executionCandidates(program);

  // Carries errno from a failed fork or exec; closes unread when exec succeeds.
  int status[2];
  if (!makePipe(status)) return false;
  int const devNull = open("/dev/null", O_RDWR | O_CLOEXEC);

  pid_t const intermediate = fork();
  if (intermediate == 0) {
    // Only async-signal-safe calls from here on: the launcher may have other threads.
    close(status[0]);
    setsid();
    pid_t const grandchild = fork();
    if (grandchild < 0) {
      int const error = errno;
      (void)!write(status[1], &error, sizeof(error));
      _exit(1);
    }
    if (grandchild > 0) _exit(0);

    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    // No descriptor of the launcher's beyond the standard three reaches the program.
    close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);

    // As the search of posix_spawnp: go on past names that are missing or not
    // accessible, report the first access problem if nothing ran, stop at any other.
    int error = ENOENT;
    bool denied = false;
    for (std::string const& candidate : candidates) {
      execv(candidate.c_str(), argv.data());
      if (errno == EACCES) {
        denied = true;
      } else if (errno != ENOENT && errno != ENOTDIR) {
        error = errno;
        break;
      }
    }
    if (denied && error == ENOENT) error = EACCES;
    (void)!write(status[1], &error, sizeof(error));
    _exit(127);
  }

  if (devNull >= 0) close(devNull);
  close(status[1]);
  if (intermediate < 0) {
    close(status[0]);
    return false;
  }

  // The intermediate's status is unavailable only when SIGCHLD is ignored; the status
  // pipe alone then decides.
  int waitStatus = 0;
  bool const intermediateFailed =
      waitFor(intermediate, waitStatus) && !(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0);

  // Ends once the program was executed (close-on-exec) or reported why it was not.
  int error = 0;
  ssize_t got;
  do {
    got = read(status[0], &error, sizeof(error));
  } while (got < 0 && errno == EINTR);
  close(status[0]);
  return !intermediateFailed && got == 0;
}

// The working directory is inherited as it is, at any length.
std::string pathTooLongToStart(std::string const& program) {
  return program.size() >= PATH_MAX ? program : std::string();
}

}  // namespace Process
