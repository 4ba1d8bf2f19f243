#include "dispatch/error_code.h"

namespace rivi::dispatch {
namespace {

bool good_status(long code) { return code == 200 || code == 301 || code == 302 || code == 401 || code == 403; }

bool tls_failure(CURLcode result) {
  switch (result) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string error_code(CURLcode result, long http_code, bool inner_refused, bool capped) {
  if (inner_refused) return "inner_address";
  if (capped || result == CURLE_FILESIZE_EXCEEDED) return "too_large";
  switch (result) {
    case CURLE_OK:
      return good_status(http_code) ? "" : http_code > 0 ? "http_status" : "connect";
    case CURLE_COULDNT_CONNECT:
      return "refused";
    case CURLE_OPERATION_TIMEDOUT:
      return "timeout";
    case CURLE_COULDNT_RESOLVE_HOST:
      return "dns";
    default:
      return tls_failure(result) ? "tls" : "connect";
  }
}

}  // namespace rivi::dispatch
