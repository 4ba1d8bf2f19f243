// The pace of test messages: at most one `test_channel` per channel every `kTestEvery` seconds,
// whatever process asks (each web call makes a plug-in object of its own), kept in the table
// `rivi_channel_test` (channel -> time of the last test let through).
#pragma once

#include <cstdint>
#include <string>

namespace rivi::test_gate {

inline constexpr std::int64_t kTestEvery = 10;

// Lets one test of `channel` through at `now` and answers 0, or answers the seconds to wait.
// One statement decides, so two concurrent callers never both get through. A clock that went
// back lets the test through.
std::int64_t claim(const std::string& channel, std::int64_t now);

}  // namespace rivi::test_gate
