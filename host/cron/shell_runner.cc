#include "host/cron/shell_runner.h"

#include "host/cron/job_lock.h"
#include "host/journal.h"
#include "host/public.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace rivi {

namespace {

// Owners of the two posix_spawn setting objects.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// A descriptor owned for the length of a scope.
struct OwnedFd {
  int fd = -1;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
};

void check_spawn(int error, const char* what) {
  if (error != 0) throw std::runtime_error(fmt::format("cannot start job: {}: {}", what, std::strerror(error)));
}

// Errors of a direct start after which the shell gets the command instead: it knows built-ins
// and runs scripts without `#!`, and otherwise reports the failure in the log as it always has.
bool shell_may_know(int error) {
  return error == ENOENT || error == ENOEXEC || error == EACCES || error == ENOTDIR;
}

// This process's environment with `name`=`value` in place of any setting of `name`.
class Environment {
 public:
  Environment(std::string_view name, const std::string& value) {
    const std::string prefix = std::string(name) + "=";
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string_view(*entry).starts_with(prefix)) continue;
      pointers_.push_back(*entry);
    }
    own_ = prefix + value;
    pointers_.push_back(own_.data());
    pointers_.push_back(nullptr);
  }
  char** get() { return pointers_.data(); }

 private:
  std::string own_;
  std::vector<char*> pointers_;
};

// The descriptor a run finds its job's lock on.
constexpr int kLockDescriptor = 3;

}  // namespace

ShellRunner::~ShellRunner() { reap(nullptr); }

pid_t ShellRunner::start(const ScheduledJob& job, const std::filesystem::path& log, const std::string& fire) {
  // A job that runs every minute for months must not fill the disk: past the limit the log
  // becomes its one backup and a new log starts.
  std::error_code error;
  if (const auto size = std::filesystem::file_size(log, error); !error && size > kJobLogLimit) {
    std::filesystem::rename(log, backup_log_path(log), error);
    if (error) throw std::runtime_error(fmt::format("cannot rotate {}: {}", log.string(), error.message()));
  }
  // The heading is for people reading the log; a full disk that refuses it must not cost the run.
  try {
    append_log_line(log, fmt::format("----- {} job {} -----", public_::format_date(), job.id));
  } catch (const std::exception& failure) {
    journal::log_line(journal::Priority::warning, fmt::format("scheduler: job {}: {}", job.id, failure.what()));
  }
  std::uintmax_t log_from = std::filesystem::file_size(log, error);
  if (error) log_from = 0;

  std::optional<JobLock> lock = JobLock::try_take(job.id);
  if (!lock) throw std::runtime_error(fmt::format("cannot start job: a run of it still holds {}", job_lock_path(job.id).string()));
  // Above the standard descriptors, whatever number the lock got, so that the run's descriptor
  // 3 is a copy made by the spawn and carries no close-on-exec.
  OwnedFd lock_copy{::fcntl(lock->fd(), F_DUPFD_CLOEXEC, 10)};
  if (lock_copy.fd < 0) throw std::runtime_error(fmt::format("cannot start job: lock: {}", std::strerror(errno)));

  SpawnActions actions;
  check_spawn(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0), "stdin");
  check_spawn(posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log.c_str(),
                                               O_WRONLY | O_CREAT | O_APPEND, 0644),
              "log");
  check_spawn(posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO), "stderr");
  check_spawn(posix_spawn_file_actions_adddup2(actions.get(), lock_copy.fd, kLockDescriptor), "lock");
  // The panel's own descriptors (database, sockets) stay with the panel.
  check_spawn(posix_spawn_file_actions_addclosefrom_np(actions.get(), kLockDescriptor + 1), "descriptors");

  // The panel blocks its stop signals to wait for them; a run starts with a clean mask and
  // default handlers, in a group of its own so that a Ctrl-C to the panel leaves it running.
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  check_spawn(posix_spawnattr_setsigmask(attributes.get(), &none), "signal mask");
  check_spawn(posix_spawnattr_setsigdefault(attributes.get(), &defaults), "signal handlers");
  check_spawn(posix_spawnattr_setpgroup(attributes.get(), 0), "process group");
  check_spawn(posix_spawnattr_setflags(attributes.get(),
                                       POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP),
              "flags");
  Environment environment(kFireVariable, fire);

  // The spawn returns once the child has executed its program (or failed to), without waiting
  // for the run; an exec failure is answered by posix_spawnp itself, the failed child reaped.
  pid_t pid = -1;
  int failure = ENOENT;
  if (std::optional<std::vector<std::string>> words = plain_words(job.body)) {
    std::vector<char*> argv;
    for (std::string& word : *words) argv.push_back(word.data());
    argv.push_back(nullptr);
    failure = posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environment.get());
    if (failure != 0 && !shell_may_know(failure)) check_spawn(failure, argv[0]);
  }
  if (failure != 0) {
    std::string shell = "/bin/sh";
    std::string dash_c = "-c";
    std::string body = job.body;
    char* argv[] = {shell.data(), dash_c.data(), body.data(), nullptr};
    check_spawn(posix_spawn(&pid, shell.c_str(), actions.get(), attributes.get(), argv, environment.get()), "/bin/sh");
  }
  lock->note_pid(pid);
  children_.emplace(job.id, Run{pid, fire, log, log_from});
  return pid;
}

void ShellRunner::reap(const std::int64_t* job_id) {
  auto [first, last] = job_id ? children_.equal_range(*job_id) : std::pair(children_.begin(), children_.end());
  for (auto it = first; it != last;) {
    int status = 0;
    const pid_t done = ::waitpid(it->second.pid, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno != ECHILD)) {
      ++it;
      continue;
    }
    EndedRun ended;
    ended.fire = it->second.fire;
    ended.job_id = it->first;
    ended.pid = it->second.pid;
    if (done == it->second.pid && WIFEXITED(status)) ended.exit_status = WEXITSTATUS(status);
    if (done == it->second.pid && WIFSIGNALED(status)) ended.signal = WTERMSIG(status);
    if (ended.exit_status != 0) ended.log_tail = log_tail(it->second.log, it->second.log_from);
    ended_.push_back(std::move(ended));
    it = children_.erase(it);
  }
}

pid_t ShellRunner::running(std::int64_t job_id) {
  reap(&job_id);
  if (const auto found = children_.find(job_id); found != children_.end()) return found->second.pid;
  // A run of an earlier `panel serve` holds the job's lock until it ends.
  return job_lock_holder(job_id);
}

std::vector<EndedRun> ShellRunner::collect() {
  reap(nullptr);
  return std::exchange(ended_, {});
}

}  // namespace rivi
