#include "host/serve.h"

#include <iostream>

namespace rivi {

int serve(const ServeOptions&) {
  std::cerr << "panel serve: not available yet\n";
  return 1;
}

}  // namespace rivi
