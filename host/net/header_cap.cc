#include "host/net/header_cap.h"

namespace rivi {

std::size_t HeaderCap::take(char*, std::size_t size, std::size_t count, void* cap) {
  auto* self = static_cast<HeaderCap*>(cap);
  const std::size_t length = size * count;
  if (length > self->limit - self->taken) {
    self->over = true;
    return 0;  // fails the transfer with CURLE_WRITE_ERROR
  }
  self->taken += length;
  return length;
}

}  // namespace rivi
