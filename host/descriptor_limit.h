// The process's limit on open descriptors (RLIMIT_NOFILE). A service manager starts a program at a
// soft limit of 1,024 whatever the hard limit allows: too few for a server that holds thousands of
// connections and probes at once, which would then fail for want of a socket.
#pragma once

#include <sys/resource.h>

namespace rivi {

// Raises the soft limit to the hard one, or to `cap` when that is lower; never lowers it. Answers
// the soft limit in force afterwards (the old one when it cannot be raised).
rlim_t raise_descriptor_limit(rlim_t cap = RLIM_INFINITY);

}  // namespace rivi
