#!/usr/bin/env bash
# The Debian package as an administrator gets it, from a built tree (cpack only packs):
#   1. its files, its control data and its maintainer scripts, lintian's verdict (no errors) and
#      the programs' hardening (hardening-check);
#   2. its systemd units, verified against the unpacked package;
#   3. its programs run from the unpacked package: a panel root laid out and called, then a probe
#      node (key from a file), a dispatch centre and a scheduled job's run on loopback, and the
#      web page served by `rivi-panel serve`;
#   4. installed, upgraded, enabled, removed and purged with dpkg in a scratch root (as root); in
#      between, the installed centre and node run as the account rivi the installation made, with
#      an HTTPS node set up as the README says; the scrape token goes to the group prometheus and
#      modes an administrator set outlive an upgrade; the units stay enabled until the purge.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Debian's own interpreter, for reading JSON answers (not whatever python3 is first on PATH).
py=/usr/bin/python3
free_port() { "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for_port() {  # wait_for_port PORT LOG
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  cat "$2" >&2
  fail "nothing listens on 127.0.0.1:$1"
}

# log_in PANEL PASSWORD: `PANEL serve` on a free port for the root PANEL_ROOT; logs in with
# PASSWORD and fetches the page, which must be the package's. Stops the server.
log_in() {
  local port web csrf where pid
  port=$(free_port)
  "$1" serve --listen "127.0.0.1:$port" >"$tmp/serve.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_for_port "$port" "$tmp/serve.log"
  web=http://127.0.0.1:$port
  csrf=$(curl -sf -c "$tmp/cookies" "$web/login" | sed -n 's/.*name="csrf_token" value="\([^"]*\)".*/\1/p')
  [[ -n $csrf ]] || fail "no login form at $web/login"
  where=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' -b "$tmp/cookies" -c "$tmp/cookies" \
    --data-urlencode "csrf_token=$csrf" --data-urlencode "password=$2" "$web/login")
  [[ $where == "303 $web/plugin/qn_rivi/" ]] || fail "login with the password answered: $where"
  curl -sf -b "$tmp/cookies" "$web/plugin/qn_rivi/" | cmp -s - "$tmp/pkg/usr/share/qn_rivi/static/index.html" ||
    fail "the page served is not the package's"
  kill "$pid"
  wait "$pid" || true
}

# --- 1. The package --------------------------------------------------------------------------
(cd "$build" && cpack --config CPackConfig.cmake -B "$tmp/out") >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log" >&2
  fail "cpack could not pack the built tree"
}
debs=("$tmp"/out/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}
[[ $(basename "$deb") == qn-rivi_*_"$(dpkg --print-architecture)".deb ]] || fail "package named $(basename "$deb")"

dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$tmp/contents"
for entry in \
  "-rwxr-xr-x root/root ./usr/bin/rivi-panel" \
  "-rwxr-xr-x root/root ./usr/bin/rivi-dispatch" \
  "-rwxr-xr-x root/root ./usr/bin/rivi-node" \
  "-rwxr-xr-x root/root ./usr/lib/qn_rivi/rivi_worker" \
  "-rwxr-xr-x root/root ./usr/share/qn_rivi/rivi" \
  "-rw-r--r-- root/root ./usr/share/qn_rivi/static/index.html" \
  "-rw-r--r-- root/root ./usr/share/qn_rivi/static/index.html.gz" \
  "-rw-r--r-- root/root ./usr/share/rivi-panel/login.html" \
  "-rw-r--r-- root/root ./usr/share/rivi-panel/login.css" \
  "-rw-r--r-- root/root ./lib/systemd/system/rivi-panel.service" \
  "-rw-r--r-- root/root ./lib/systemd/system/rivi-dispatch.service" \
  "-rw-r--r-- root/root ./lib/systemd/system/rivi-node.service" \
  "-rw-r--r-- root/root ./etc/default/rivi-panel" \
  "-rw-r--r-- root/root ./etc/default/rivi-dispatch" \
  "-rw-r--r-- root/root ./etc/default/rivi-node" \
  "-rw------- root/root ./etc/rivi/centre.json" \
  "-rw-r--r-- root/root ./usr/lib/sysusers.d/qn-rivi.conf" \
  "-rw-r--r-- root/root ./usr/share/doc/qn-rivi/README.md" \
  "-rw-r--r-- root/root ./usr/share/doc/qn-rivi/copyright" \
  "-rw-r--r-- root/root ./usr/share/doc/qn-rivi/changelog.Debian.gz" \
  "-rw-r--r-- root/root ./usr/share/man/man8/rivi-panel.8.gz" \
  "-rw-r--r-- root/root ./usr/share/man/man8/rivi-dispatch.8.gz" \
  "-rw-r--r-- root/root ./usr/share/man/man8/rivi-node.8.gz" \
  "-rw-r--r-- root/root ./usr/share/doc/qn-rivi/examples/centre.example.json"; do
  grep -qxF -- "$entry" "$tmp/contents" || fail "not in the package: $entry"
done
# The page's other files carry their content's hash in their names, with gzip copies beside them.
for entry in 'js/main\.[0-9a-f]{8}\.js' 'js/main\.[0-9a-f]{8}\.js\.gz' 'vendor/chart\.umd\.[0-9a-f]{8}\.js' \
  'vendor/chart\.umd\.[0-9a-f]{8}\.js\.gz' 'style\.[0-9a-f]{8}\.css'; do
  grep -qxE -- "-rw-r--r-- root/root \./usr/share/qn_rivi/static/$entry" "$tmp/contents" || fail "not in the package: $entry"
done
# Commands of their own: nothing in /usr/bin that another package's command could be.
others=$(awk '$3 ~ /^\.\/usr\/bin\/./ && $3 !~ /^\.\/usr\/bin\/rivi-/ {print $3}' "$tmp/contents")
[[ -z $others ]] || fail "programs without the rivi- prefix: $others"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in python3 libc6 libsqlite3-0 libcurl4 libssl3; do
  [[ ", $depends," == *", $lib"[\ ,]* ]] || fail "Depends lacks $lib: $depends"
done

# lintian, from Debian's package (scripts/install-deps.sh installs it): errors fail the test.
command -v lintian >/dev/null || fail "lintian is missing: run scripts/install-deps.sh"
lintian --no-tag-display-limit "$deb" >"$tmp/lintian.log" 2>&1 || true
grep '^E: ' "$tmp/lintian.log" && fail "lintian reports errors (above)"
grep -q '^W: ' "$tmp/lintian.log" && { echo "package_test: lintian's warnings:"; grep '^W: ' "$tmp/lintian.log"; }

dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do
  [[ -x $tmp/control/$script ]] || fail "$script missing or not executable"
  sh -n "$tmp/control/$script" || fail "$script is not valid sh"
done
printf '%s\n' /etc/default/rivi-panel /etc/default/rivi-dispatch /etc/default/rivi-node /etc/rivi/centre.json |
  diff - "$tmp/control/conffiles" || fail "conffiles differ"

dpkg-deb -x "$deb" "$tmp/pkg"
# The programs built with Debian's hardening flags: PIE, full RELRO (BIND_NOW), the stack
# protector and the fortified functions (control-flow protection is not among this release's
# flags, so hardening-check is told not to ask for it).
command -v hardening-check >/dev/null || fail "hardening-check is missing: run scripts/install-deps.sh"
for program in bin/rivi-panel bin/rivi-dispatch bin/rivi-node lib/qn_rivi/rivi_worker; do
  hardening-check --nocfprotection "$tmp/pkg/usr/$program" >"$tmp/hardening.log" 2>&1 ||
    { cat "$tmp/hardening.log" >&2; fail "$program is not hardened"; }
  for line in "Position Independent Executable: yes" "Stack protected: yes" "Fortify Source functions: yes" \
    "Read-only relocations: yes" "Immediate binding: yes"; do
    grep -qF " $line" "$tmp/hardening.log" || { cat "$tmp/hardening.log" >&2; fail "$program: no '$line'"; }
  done
done
# Each program's man page comes from its --help, under its installed name.
for page in rivi-panel rivi-dispatch rivi-node; do
  zcat "$tmp/pkg/usr/share/man/man8/$page.8.gz" | grep -q "^\.B $page\$" || fail "the man page of $page names another program"
done
zcat "$tmp/pkg/usr/share/man/man8/rivi-panel.8.gz" | grep -q -- '--no-web' || fail "the man page of rivi-panel lacks serve's options"

# --- 2. The units -----------------------------------------------------------------------------
# Verified against the package's files (ExecStart must name programs in it), beside the
# system's own units that every service depends on.
cp -a "$tmp/pkg" "$tmp/verify"
cp -rn /lib/systemd/system/. "$tmp/verify/lib/systemd/system/"
# ExecReload of the centre sends its signal with the system's kill.
mkdir -p "$tmp/verify/bin" && cp /bin/kill "$tmp/verify/bin/"
units=(rivi-panel.service rivi-dispatch.service rivi-node.service)
verify_out=$(systemd-analyze verify --root="$tmp/verify" "${units[@]}" 2>&1) || fail "systemd-analyze verify: $verify_out"
[[ -z $verify_out ]] || fail "systemd-analyze verify: $verify_out"
for unit in "${units[@]}"; do
  # Sandboxed: an exposure above 3.0 (of 10.0; the threshold counts tenths) means options went missing.
  systemd-analyze security --offline=true --root="$tmp/verify" --threshold=30 "$unit" >"$tmp/security.log" 2>&1 ||
    { cat "$tmp/security.log" >&2; fail "$unit is not sandboxed enough"; }
  file=$tmp/pkg/lib/systemd/system/$unit
  for line in "EnvironmentFile=-/etc/default/${unit%.service}" Restart=on-failure NoNewPrivileges=yes \
    ProtectSystem=strict PrivateTmp=yes ProtectHome=yes "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" \
    LimitNOFILE=65536; do
    grep -qxF "$line" "$file" || fail "$unit lacks $line"
  done
  # A bound on memory, with room (at least 256 MiB) above what the benchmarks saw.
  grep -qxE 'MemoryMax=([0-9]+G|(25[6-9]|2[6-9][0-9]|[3-9][0-9]{2}|[0-9]{4,})M)' "$file" || fail "$unit lacks a sound MemoryMax="
done
grep -qxF "ReadWritePaths=/www/server/panel" "$tmp/pkg/lib/systemd/system/rivi-panel.service" ||
  fail "rivi-panel.service cannot write the panel root"
grep -q '^ExecStart=/usr/bin/rivi-node --key-file /etc/rivi/node.key ' \
  "$tmp/pkg/lib/systemd/system/rivi-node.service" || fail "rivi-node.service takes its key from elsewhere"
grep -qxF 'ExecStart=/usr/bin/rivi-dispatch --config /etc/rivi/centre.json $RIVI_DISPATCH_OPTS' \
  "$tmp/pkg/lib/systemd/system/rivi-dispatch.service" || fail "rivi-dispatch.service reads another configuration"
for unit in rivi-dispatch.service rivi-node.service; do
  # The account whose group reads /etc/rivi; a reload is SIGHUP, which rereads the files; room for
  # thousands of connections and probes (the programs raise their soft limit to this).
  for line in User=rivi Group=rivi 'ExecReload=/bin/kill -HUP $MAINPID'; do
    grep -qxF "$line" "$tmp/pkg/lib/systemd/system/$unit" || fail "$unit lacks $line"
  done
done

# --- 3. The programs from the unpacked package ------------------------------------------------
bin=$tmp/pkg/usr/bin
export PANEL_ROOT=$tmp/panel
"$bin/rivi-panel" install >"$tmp/install.out" || fail "rivi-panel install"
grep -q '^panel administrator password: ' "$tmp/install.out" || fail "no password printed: $(cat "$tmp/install.out")"
cmp -s "$tmp/pkg/usr/lib/qn_rivi/rivi_worker" "$PANEL_ROOT/plugin/qn_rivi/rivi_worker" || fail "the worker is not the package's"
cmp -s "$tmp/pkg/usr/share/qn_rivi/static/index.html" "$PANEL_ROOT/plugin/qn_rivi/static/index.html" ||
  fail "the page is not the package's"
listed=$("$bin/rivi-panel" call qn_rivi get_list)
[[ $listed == '{"page": {"count": 0, "p": 1, "pages": 0, "row": 12, "shift": 0}, "data": []}' ]] ||
  fail "get_list answered: $listed"

# A probe node serving HTTPS with its key in a file, a centre pinning its certificate and asking
# it and one in-process node, a site. The certificate is made and read as the README says.
printf 'node-secret\n' >"$tmp/node.key"
chmod 600 "$tmp/node.key"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 -subj /CN=rivi-node \
  -keyout "$tmp/node-tls.key" -out "$tmp/node.pem" 2>"$tmp/openssl.log" || fail "openssl req: $(cat "$tmp/openssl.log")"
pin=$(openssl x509 -in "$tmp/node.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
node_port=$(free_port)
"$bin/rivi-node" --key-file "$tmp/node.key" --listen "127.0.0.1:$node_port" --allow-private --isp 电信 \
  --tls-cert "$tmp/node.pem" --tls-key "$tmp/node-tls.key" 2>"$tmp/node.log" &
pids+=($!)
wait_for_port "$node_port" "$tmp/node.log"
grep -qF "HTTPS certificate SHA-256 fingerprint $pin" "$tmp/node.log" || fail "the node showed: $(cat "$tmp/node.log")"
centre_port=$(free_port)
cat >"$tmp/centre.json" <<EOF
{"listen": "127.0.0.1:$centre_port", "access_key": "centre-secret",
 "nodes": [{"isp": "电信", "address": "127.0.0.1:$node_port", "key_file": "$tmp/node.key", "pin_sha256": "$pin"},
           {"isp": "本机", "local": true, "allow_private": true}]}
EOF
"$bin/rivi-dispatch" --config "$tmp/centre.json" 2>"$tmp/centre.log" &
pids+=($!)
wait_for_port "$centre_port" "$tmp/centre.log"
mkdir "$tmp/site"
echo ok >"$tmp/site/index.html"
"$py" -m http.server --bind 127.0.0.1 --directory "$tmp/site" 0 >"$tmp/site.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  site_port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$tmp/site.log")
  [[ -n $site_port ]] && break
  sleep 0.1
done
[[ -n $site_port ]] || fail "the site did not start: $(cat "$tmp/site.log")"

printf 'centre-secret' >"$PANEL_ROOT/data/dispatch_key"
created=$("$bin/rivi-panel" call qn_rivi create name2=首页 "url=http://127.0.0.1:$site_port/" cycle=5)
[[ $created == '{"status": true, "msg": "添加成功!"}' ]] || fail "create answered: $created"
# The scheduled job's command, as the scheduler runs it.
job=$(sqlite3 "$PANEL_ROOT/data/default.db" "SELECT sBody FROM crontab WHERE save='rivi_id_1'")
[[ $job == "$PANEL_ROOT/pyenv/bin/python $PANEL_ROOT/plugin/qn_rivi/rivi 1" ]] || fail "the job runs: $job"
(cd / && RIVI_DISPATCH_HOST=127.0.0.1:$centre_port $job >"$tmp/run.out" 2>"$tmp/run.err") ||
  fail "the job failed: $(cat "$tmp/run.out" "$tmp/run.err")"
"$bin/rivi-panel" call --pretty qn_rivi get_task_log pid=1 >"$tmp/log.json"
"$py" - "$tmp/log.json" <<'EOF' || fail "the stored run: $(cat "$tmp/log.json")"
import json, sys
rows = json.load(open(sys.argv[1]))["data"]
assert len(rows) == 1, rows
nodes = sorted((n["isp"], n["http_code"]) for n in rows[0]["data"])
assert nodes == [("本机", 200), ("电信", 200)], nodes
EOF
grep -q '"isp": "电信"' "$tmp/log.json" || fail "--pretty output is not UTF-8 text: $(cat "$tmp/log.json")"
# The nodes' health as the README shows it: through the panel and straight from the centre.
nodes=$(RIVI_DISPATCH_HOST=127.0.0.1:$centre_port "$bin/rivi-panel" call qn_rivi get_nodes)
[[ $nodes == *'"isp": "电信", "address": "127.0.0.1:'$node_port'", "state": "up"'* ]] || fail "get_nodes answered: $nodes"
serverid=$(cat "$PANEL_ROOT/data/serverid")
curl -sf -d "serverid=$serverid" -d access_key=centre-secret "http://127.0.0.1:$centre_port/api/local/rivi/nodes" |
  grep -qF '"state": "up"' || fail "the centre's node list"

# The web page: the administrator logs in with the password install printed. The task is paused
# first, so that the scheduler starts no run while the test ends.
[[ $("$bin/rivi-panel" call qn_rivi modify id=1 status=0) == '{"status": true, "msg": "修改成功!"}' ]] ||
  fail "the task could not be paused"
log_in "$bin/rivi-panel" "$(sed -n 's/^panel administrator password: //p' "$tmp/install.out")"
unset PANEL_ROOT

# --- 4. dpkg in a scratch root ----------------------------------------------------------------
if [[ $(id -u) != 0 ]]; then
  echo "package_test: not root, so not installed with dpkg"
  exit 0
fi
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The maintainer scripts run outside a chroot with DPKG_ROOT set; the scratch root has none of
# the libraries the package depends on (they are this machine's).
dpkg_root() { dpkg --root="$root" --log="$tmp/dpkg.log" --force-script-chrootless --force-depends "$@" 2>&1; }
# Debian's Prometheus is installed: its group reads the scrape token the installation makes.
mkdir -p "$root/etc"
echo 'prometheus:x:4242:' >"$root/etc/group"
token=$root/www/server/panel/data/metrics_token

out=$(dpkg_root -i "$deb") || fail "dpkg -i: $out"
[[ $out == *"the administrator password is in /etc/rivi/initial-admin-password"* ]] || fail "dpkg -i said: $out"
[[ $(stat -c %a "$root/etc/rivi/initial-admin-password") == 600 ]] || fail "the password file is not root's alone"
# The account of the centre and the node, whose group alone reads their files.
gid=$(awk -F: '$1 == "rivi" { print $3 }' "$root/etc/group")
[[ -n $gid ]] && grep -q "^rivi:x:[0-9]*:$gid:.*:/usr/sbin/nologin$" "$root/etc/passwd" || fail "no account rivi"
for file in etc/rivi:750 etc/rivi/node.key:640 etc/rivi/centre.json:640; do
  [[ $(stat -c '%a %u %g' "$root/${file%:*}") == "${file#*:} 0 $gid" ]] ||
    fail "/${file%:*} is $(stat -c '%a %u %g' "$root/${file%:*}"), not root's and readable by rivi alone"
done
grep -qxE '[0-9a-f]{64}' "$root/etc/rivi/node.key" || fail "node key: $(cat "$root/etc/rivi/node.key")"
[[ -f $root/www/server/panel/data/default.db && -x $root/www/server/panel/plugin/qn_rivi/rivi_worker ]] ||
  fail "the panel root is not laid out"
[[ $(stat -c '%a %u %g' "$token") == "640 0 4242" ]] || fail "the scrape token is $(stat -c '%a %u %g' "$token")"
listed=$(PANEL_ROOT=$root/www/server/panel "$root/usr/bin/rivi-panel" call qn_rivi get_list)
[[ $listed == *'"data": []}' ]] || fail "get_list in the installed root: $listed"
PANEL_ROOT=$root/www/server/panel log_in "$root/usr/bin/rivi-panel" "$(cat "$root/etc/rivi/initial-admin-password")"
cp "$root/etc/rivi/node.key" "$tmp/node.key.first"
systemctl --root="$root" enable "${units[@]}" >/dev/null 2>&1 || fail "systemctl enable"
[[ -L $root/etc/systemd/system/multi-user.target.wants/rivi-panel.service ]] || fail "not enabled"

# Installed again (an upgrade): data, password and key are kept.
out=$(dpkg_root -i "$deb") || fail "dpkg -i again: $out"
[[ $out == *"the administrator password was set before"* ]] || fail "dpkg -i again said: $out"
cmp -s "$tmp/node.key.first" "$root/etc/rivi/node.key" || fail "the node key changed"
[[ $(stat -c '%a %u %g' "$token") == "640 0 4242" ]] || fail "the upgrade made the scrape token $(stat -c '%a %u %g' "$token")"

# The centre and the node as their units run them: as the account rivi (its ids from the scratch
# root), reading /etc/rivi where it lies, set up as the README's steps say (/etc/rivi standing for
# the scratch root's): the node's certificate and key readable by the group, the node's key in a
# file for the centre, the centre's file reread on SIGHUP at once, and a probe through the HTTPS
# node. Another account reads nothing there.
uid=$(awk -F: '$1 == "rivi" { print $3 }' "$root/etc/passwd")
chmod o+x "$tmp"  # the scratch root lies in a folder of root's alone
etc=$root/etc/rivi
as_rivi=(setpriv --reuid="$uid" --regid="$gid" --clear-groups --no-new-privs)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 -subj /CN=rivi-node \
  -keyout "$etc/node-tls.key" -out "$etc/node.pem" 2>"$tmp/openssl.log" || fail "openssl req: $(cat "$tmp/openssl.log")"
chgrp "$gid" "$etc/node-tls.key" "$etc/node.pem" && chmod 0640 "$etc/node-tls.key"
pin=$(openssl x509 -in "$etc/node.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
node_port=$(free_port)
"${as_rivi[@]}" "$root/usr/bin/rivi-node" --key-file "$etc/node.key" --listen "127.0.0.1:$node_port" --allow-private \
  --tls-cert "$etc/node.pem" --tls-key "$etc/node-tls.key" 2>"$tmp/rivi-node.log" &
pids+=($!)
wait_for_port "$node_port" "$tmp/rivi-node.log"
install -m 0640 -g "$gid" /dev/null "$etc/node-dx.key" && cat "$etc/node.key" >"$etc/node-dx.key"
centre_port=$(free_port)
printf '{"listen": "127.0.0.1:%s", "nodes": [{"isp": "本机", "local": true}]}\n' "$centre_port" >"$etc/centre.json"
"${as_rivi[@]}" "$root/usr/bin/rivi-dispatch" --config "$etc/centre.json" 2>"$tmp/rivi-dispatch.log" &
centre_pid=$!
pids+=("$centre_pid")
wait_for_port "$centre_port" "$tmp/rivi-dispatch.log"
printf '{"listen": "127.0.0.1:%s", "nodes": [{"isp": "电信", "address": "127.0.0.1:%s", "key_file": "%s", "pin_sha256": "%s"}]}\n' \
  "$centre_port" "$node_port" "$etc/node-dx.key" "$pin" >"$etc/centre.json"
kill -HUP "$centre_pid"
for _ in $(seq 100); do grep -q 'reloaded' "$tmp/rivi-dispatch.log" && break; sleep 0.1; done
grep -q "reloaded $etc/centre.json with 1 node(s)" "$tmp/rivi-dispatch.log" ||
  fail "the centre as rivi did not reload its file: $(cat "$tmp/rivi-dispatch.log")"
probe=$(curl -sf --data-urlencode "url=http://127.0.0.1:$site_port/" "http://127.0.0.1:$centre_port/api/local/rivi")
[[ $probe == *'"http_code": 200'* ]] || fail "the probe through the HTTPS node as rivi: $probe"
curl -sf "http://127.0.0.1:$centre_port/api/local/rivi/nodes" | grep -qF '"state": "up", ' ||
  fail "the node is not up in the centre's list"
for file in node.key node-tls.key node-dx.key centre.json; do
  setpriv --reuid=65534 --regid=65534 --clear-groups cat "$etc/$file" >/dev/null 2>&1 &&
    fail "another account reads /etc/rivi/$file"
done
# Files the administrator added are the administrator's to delete: a purge keeps them (and /etc/rivi).
rm -f "$etc/node.pem" "$etc/node-tls.key" "$etc/node-dx.key"

# Another panel root, named in the defaults file as the unit reads it. Modes the administrator
# gave /etc/rivi's files outlive this upgrade.
printf '%s\n' 'PANEL_ROOT="/srv/panel"' 'RIVI_PANEL_OPTS=--no-web --listen 127.0.0.1:1' >>"$root/etc/default/rivi-panel"
chmod 0600 "$etc/node.key" && chmod 0710 "$etc" && chgrp 4242 "$etc/centre.json"
out=$(dpkg_root -i "$deb") || fail "dpkg -i with another root: $out"
[[ $out == *"panel root ready: $root/srv/panel"* && -f $root/srv/panel/data/default.db ]] ||
  fail "the root of the defaults file is not laid out: $out"
[[ $(stat -c '%a %g' "$etc" "$etc/node.key" "$etc/centre.json" | tr '\n' ' ') == "710 $gid 600 $gid 640 4242 " ]] ||
  fail "the upgrade reset the administrator's modes: $(stat -c '%n %a %g' "$etc" "$etc/node.key" "$etc/centre.json")"

# Removed, the units stay enabled (and unmasked), so that installing again brings them back as
# they were; a purge disables them and forgets their state.
wants=$root/etc/systemd/system/multi-user.target.wants
out=$(dpkg_root -r qn-rivi) || fail "dpkg -r: $out"
[[ ! -e $root/usr/bin/rivi-panel ]] || fail "removal left the program"
[[ -L $wants/rivi-panel.service && ! -e $root/etc/systemd/system/rivi-panel.service ]] ||
  fail "removal disabled or masked the unit"
[[ -f $root/etc/rivi/node.key && -f $root/etc/default/rivi-panel ]] || fail "removal took the configuration"
out=$(dpkg_root -P qn-rivi) || fail "dpkg -P: $out"
[[ ! -e $root/etc/rivi && ! -e $root/etc/default/rivi-panel ]] || fail "purge left /etc/rivi or the defaults"
for unit in "${units[@]}"; do
  [[ ! -L $wants/$unit && ! -e $root/etc/systemd/system/$unit ]] || fail "purge left $unit enabled or masked"
  [[ ! -e $root/var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also ]] || fail "purge left the state of $unit"
done
[[ -f $root/www/server/panel/data/default.db ]] || fail "purge took the panel's data"
echo "package_test: $(basename "$deb") passed"
