// Node incidents: probe nodes that stop answering are the monitor's trouble, never the site's.
// Owns the tables
//   rivi_node_incident  one row per stretch of silence of one node:
//                         id          row id
//                         node        the node's key (health::Node::key, "<isp>#<n>": the n-th
//                                     node of that ISP in the centre's list)
//                         isp         its ISP label
//                         start_time  the first run of the stretch it did not answer (Unix s)
//                         end_time    the first run it answered again; NULL while open (never
//                                     before start_time: a clock stepped back closes it with a
//                                     zero length and says so in the reason)
//                         reason      readable: "连续3次拨测未响应(其他节点正常应答)", and why it
//                                     closed when that was not an answer
//                         last_seen   the last run it answered before the stretch; NULL if never
//   rivi_node_state     one row per node key: runs missed in a row, the first of them, the last
//                       answer, the open incident.
// An incident opens when a node misses `kMissedRuns` stored runs in a row, across every task,
// in runs in which another node answered; it closes when the node answers again, or when a run
// that every node answered no longer lists it. Runs in which no node answered say nothing about
// any one node (the dispatch centre's trouble) and leave everything as it was.
#pragma once

#include "plugin/qn_rivi/health.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace node_incidents {

inline constexpr std::int64_t kMissedRuns = 3;

// Takes a stored run's nodes (of any task) at `time`, inside the caller's transaction.
void record_run(Connection& db, std::int64_t time, const std::vector<health::Node>& nodes);

// Deletes the closed incidents that ended before `cutoff`, at most `batch` rows a statement;
// answers the rows deleted.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

}  // namespace node_incidents
}  // namespace rivi
