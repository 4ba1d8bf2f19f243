#!/usr/bin/env bash
# One command from a fresh Debian machine to a running system: installs what is needed, builds,
# lays out a panel root, starts the dispatch centre (embedded default: 127.0.0.1:8890 with its
# local nodes) and `panel serve`, and prints the page's address and the administrator password.
# Ctrl-C stops everything this script started.
#
# The root is PANEL_ROOT when set, else /www/server/panel as root, else ./.panel-root.
# RIVI_LISTEN sets the web server's address (default 127.0.0.1:8888); RIVI_BUILD_DIR the build
# directory (default ./build).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

if [[ $(id -u) == 0 ]]; then
  default_root=/www/server/panel
else
  default_root=$repo/.panel-root
fi
export PANEL_ROOT=${PANEL_ROOT:-$default_root}
listen=${RIVI_LISTEN:-127.0.0.1:8888}
build=${RIVI_BUILD_DIR:-build}

./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target panel rivi_worker rivi-dispatch

install_out=$("$build"/bin/panel install)
echo "$install_out"
password=$(sed -n 's/^panel administrator password: //p' <<<"$install_out")

pids=()
stop_all() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap stop_all EXIT

wait_for() {  # wait_for HOST:PORT NAME PID
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/${1%:*}/${1##*:}") 2>/dev/null; then return 0; fi
    if ! kill -0 "$3" 2>/dev/null; then echo "$2 stopped; see the messages above" >&2; return 1; fi
    sleep 0.1
  done
  echo "$2 does not answer on $1" >&2
  return 1
}

"$build"/bin/rivi-dispatch &
pids+=($!)
wait_for 127.0.0.1:8890 "the dispatch centre" "${pids[-1]}"

"$build"/bin/panel serve --listen "$listen" &
pids+=($!)
wait_for "$listen" "panel serve" "${pids[-1]}"

echo
echo "The probing monitor is running."
echo "  page:       http://$listen/"
if [[ -n $password ]]; then
  echo "  password:   $password   (shown once; keep it)"
else
  echo "  password:   set at the first install; a new one: PANEL_ROOT=$PANEL_ROOT $build/bin/panel passwd"
fi
echo "  panel root: $PANEL_ROOT"
echo "Press Ctrl-C to stop."

# Runs until Ctrl-C, or until one of the programs ends (then the other is stopped too).
set +e
wait -n "${pids[@]}"
status=$?
echo "a program stopped (status $status); stopping the rest" >&2
exit "$status"
