#include "host/descriptor_limit.h"

#include <algorithm>

namespace rivi {

rlim_t raise_descriptor_limit(rlim_t cap) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  // Linux refuses an infinite soft limit for descriptors; 1 Mi is the kernel's usual ceiling.
  const rlim_t hard = limit.rlim_max == RLIM_INFINITY ? rlim_t{1} << 20 : limit.rlim_max;
  const rlim_t want = std::min(hard, cap);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= want) return limit.rlim_cur;
  const rlim_t old = limit.rlim_cur;
  limit.rlim_cur = want;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 ? want : old;
}

}  // namespace rivi
