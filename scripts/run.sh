#!/usr/bin/env bash
# One command from a fresh Debian machine to a running system: installs what is needed, builds,
# lays out a panel root, starts the dispatch centre (embedded default: 127.0.0.1:8890 with its
# local nodes) and `panel serve`, and prints the page's address and the administrator password.
# Ctrl-C stops everything this script started.
#
# The root is PANEL_ROOT when set, else /www/server/panel as root, else ./.panel-root.
# RIVI_LISTEN sets the web server's address (default 127.0.0.1:8888), RIVI_DISPATCH_LISTEN the
# dispatch centre's (default 127.0.0.1:8890; the plug-in is told it as RIVI_DISPATCH_HOST);
# RIVI_BUILD_DIR the build directory (default ./build). Both addresses are checked before anything
# is installed, built or laid out: a port in use stops the script at once.
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
dispatch_listen=${RIVI_DISPATCH_LISTEN:-127.0.0.1:8890}
build=${RIVI_BUILD_DIR:-build}

# reach HOST:PORT -> the address to connect to: the host without IPv6 brackets, and a loopback
# address in place of "every address" (0.0.0.0, ::).
reach() {
  local host=${1%:*} port=${1##*:}
  host=${host#[}
  host=${host%]}
  case $host in
    '' | 0.0.0.0) host=127.0.0.1 ;;
    ::) host=::1 ;;
  esac
  echo "$host:$port"
}
in_use() {  # in_use HOST:PORT  (something accepts connections there)
  local a
  a=$(reach "$1")
  timeout 5 bash -c 'exec 3<>"/dev/tcp/$1/$2"' in_use "${a%:*}" "${a##*:}" 2>/dev/null
}
for setting in "RIVI_LISTEN=$listen" "RIVI_DISPATCH_LISTEN=$dispatch_listen"; do
  address=${setting#*=}
  if [[ ! $address =~ ^(\[[0-9A-Fa-f:.]+\]|[^:]*):[0-9]+$ ]]; then
    echo "${setting%%=*}: not HOST:PORT: $address" >&2
    exit 2
  fi
  if in_use "$address"; then
    echo "cannot start: $address (${setting%%=*}) is in use by another program; stop it or set ${setting%%=*}" >&2
    exit 1
  fi
done
if [[ ${listen##*:} == "${dispatch_listen##*:}" ]]; then
  echo "cannot start: RIVI_LISTEN and RIVI_DISPATCH_LISTEN name the same port ${listen##*:}" >&2
  exit 1
fi
# The plug-in asks the centre this script starts.
dispatch_at=$(reach "$dispatch_listen")
if [[ ${dispatch_at%:*} == *:* ]]; then dispatch_at="[${dispatch_at%:*}]:${dispatch_at##*:}"; fi
export RIVI_DISPATCH_HOST=$dispatch_at

./scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target panel rivi_worker rivi-dispatch

install_out=$("$build"/bin/panel install)
# The new password is shown once, below, when everything runs.
grep -v '^panel administrator password: ' <<<"$install_out" || true
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

# Ends the script when a program did not come up; a password made by this install was not shown.
cannot_start() {
  echo "$1" >&2
  if [[ -n $password ]]; then
    echo "a new administrator password: PANEL_ROOT=$PANEL_ROOT $build/bin/panel passwd" >&2
  fi
  exit 1
}

wait_for() {  # wait_for HOST:PORT NAME PID
  for _ in $(seq 100); do
    if ! kill -0 "$3" 2>/dev/null; then cannot_start "$2 stopped; see the messages above"; fi
    if in_use "$1"; then return 0; fi
    sleep 0.1
  done
  cannot_start "$2 does not answer on $1"
}

"$build"/bin/rivi-dispatch --listen "$dispatch_listen" &
pids+=($!)
wait_for "$dispatch_listen" "the dispatch centre" "${pids[-1]}"

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
echo "  centre:     $dispatch_listen"
echo "  panel root: $PANEL_ROOT"
echo "Press Ctrl-C to stop."

# Runs until Ctrl-C, or until one of the programs ends (then the other is stopped too).
set +e
wait -n "${pids[@]}"
status=$?
echo "a program stopped (status $status); stopping the rest" >&2
exit "$status"
