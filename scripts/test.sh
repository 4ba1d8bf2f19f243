#!/usr/bin/env bash
# Builds everything and runs every test: unit, end-to-end (real servers on loopback) and browser.
# Usage: scripts/test.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure --timeout 600 "$@"
