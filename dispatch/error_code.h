// The stable `error_code` of a node result: why one fetch failed, in a word that the plug-in turns
// into text a person can read. The codes are part of the stored node results, so they never change:
//   ""               the fetch completed with a good status (200, 301, 302, 401, 403)
//   "refused"        the connection was refused
//   "timeout"        the time-out passed before the answer was complete (the result's
//                    `connect_time` tells a server that took the connection and never answered,
//                    worded 响应超时, from one that was never reached, 连接超时)
//   "dns"            the host name could not be resolved
//   "tls"            the TLS handshake or the certificate check failed
//   "inner_address"  every address of the target is an inner one and was refused before connecting
//   "too_large"      the body passed the node's size cap
//   "http_status"    an answer came with any other status
//   "connect"        any other transport failure
//   "no_answer"      the node itself gave no answer (set by the centre, never by `error_code`)
#pragma once

#include <curl/curl.h>

#include <string>

namespace rivi::dispatch {

inline constexpr const char* kNoAnswerCode = "no_answer";

// The code of one finished transfer: `result` is what curl_easy_perform answered, `http_code` the
// response code received (0 for none), `inner_refused` whether the inner-address check refused
// every address tried, `capped` whether the size cap cut the body. A refusal of the inner-address
// check wins, then the size cap, then the transfer's own failure, then the status.
std::string error_code(CURLcode result, long http_code, bool inner_refused, bool capped);

}  // namespace rivi::dispatch
