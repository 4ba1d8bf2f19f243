// Starting a program for a benchmark with its output thrown away, shared by the benchmarks that
// run many worker processes.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>  // declares `environ` (with C linkage) before the declaration below

#include <string>
#include <vector>

extern char** environ;

namespace rivi::bench {

// Starts `argv` (argv[0] a path) with standard output and error sent to /dev/null; answers its
// pid, or -1 when it could not be started.
inline pid_t spawn_quiet(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace rivi::bench
