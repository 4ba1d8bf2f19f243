// The worker `rivi_worker <id>`: one probe run of a task (started by the launcher `rivi`).
#include <iostream>

int main() {
  std::cerr << "rivi_worker: probing is not available yet\n";
  return 1;
}
