#!/usr/bin/env bash
# Installs every Debian package that building, running and testing the system needs (dpkg-dev
# and systemd: the Debian package's dependencies are computed and its units verified; help2man
# writes its man pages; lintian and devscripts' hardening-check judge it).
# Idempotent: when everything is present it only checks and returns within a second.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates ccache tzdata
  libsqlite3-dev sqlite3 libcurl4-openssl-dev libssl-dev openssl
  nlohmann-json3-dev libcpp-httplib-dev libfmt-dev libcli11-dev libboost1.81-dev
  libgtest-dev libgmock-dev
  python3 python3-aiosmtpd curl prometheus faketime
  dpkg-dev systemd help2man lintian devscripts
  chromium fonts-wqy-microhei nodejs npm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Node.js and npm may come from outside Debian's packages on some machines; accept them when present.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || filtered+=("$p"); done
  missing=("${filtered[@]}")
fi

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Front-end packages from the lock files: the page's charting library, the browser tests'
# driver and their accessibility checker. Skipped when node_modules already matches its lock file.
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
for dir in plugin/qn_rivi/web tests/browser; do
  lock=$repo/$dir/package-lock.json
  installed=$repo/$dir/node_modules/.package-lock.json
  if [[ ! -f $installed || $lock -nt $installed ]]; then
    echo "npm ci in $dir"
    (cd "$repo/$dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
done
