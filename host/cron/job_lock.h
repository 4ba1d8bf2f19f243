// The mark that a job's run is going, kept by the system rather than by the scheduler's memory:
// an exclusive flock on <root>/cron/<job id>.lock, taken before the run starts and handed to its
// process as descriptor 3. The system releases it when the run, and every process that kept the
// descriptor, has ended, whatever the fate of the `panel serve` that started it; so a new
// `panel serve` sees a run of an earlier one still going.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace rivi {

// <root>/cron/<job_id>.lock
std::filesystem::path job_lock_path(std::int64_t job_id);

// The lock of one job, held while the object lives (and by every process given its descriptor).
class JobLock {
 public:
  // Takes the lock of job `job_id` without waiting; nothing when a run holds it. Throws
  // std::runtime_error when the file cannot be opened or created.
  static std::optional<JobLock> try_take(std::int64_t job_id);
  ~JobLock();
  JobLock(JobLock&& other) noexcept;
  JobLock& operator=(JobLock&& other) noexcept;
  JobLock(const JobLock&) = delete;
  JobLock& operator=(const JobLock&) = delete;

  // The descriptor (close-on-exec) to hand to the run.
  int fd() const { return fd_; }
  // Writes the run's process id into the file, for whoever finds the lock held. Best effort: a
  // full disk leaves the file as it was.
  void note_pid(pid_t pid);

 private:
  explicit JobLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Whether a run holds the lock of job `job_id`: 0 when none does, else the process id noted in
// the file, or -1 when none is noted.
pid_t job_lock_holder(std::int64_t job_id);

}  // namespace rivi
