// Not built yet.
#include <iostream>
int main() { std::cerr << "not available yet\n"; return 1; }
