#!/usr/bin/env bash
# The check behind `make check-package`, for CI or a scratch machine (it installs and removes
# the package here, as root): the manual pages render without a warning; the package built by
# `make package` holds the expected files and maintainer scripts; it installs with its
# dependencies and creates the account quorvane; its logrotate configuration passes
# `logrotate -d`; the installed server runs in the console as quorvane, a client logs in, and a
# forced rotation followed by SIGHUP moves the server's entries to a new log; removing and
# purging the package keeps the settings file and the log. What the check itself left in
# /opt/quorvane is cleaned up at the end.
#
# usage: scripts/check-package.sh PACKAGE_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?package build directory}
package=quorvane-server
unit=quorvane-server.service
home=/opt/quorvane
server=$home/QuorvaneService
settings=$home/QuorvaneService.xml
log=$home/QuorvaneService.log
rotation=/etc/logrotate.d/$package
client=/usr/bin/quorvane-cli

step() { printf '\n== %s\n' "$*"; }
fail() {
  echo "check-package: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; }

debs=("$build_dir"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ${package}_*.deb in $build_dir"
deb=$(cd "$(dirname "${debs[0]}")" && pwd)/$(basename "${debs[0]}")
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"

work=$(mktemp -d /tmp/quorvane-package.XXXXXX)
server_pid=""
user_existed=no
getent passwd quorvane >/dev/null && user_existed=yes
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  if installed; then dpkg --purge "$package" >/dev/null 2>&1 || true; fi
  rm -f "$settings" "$log" "$log".*
  rmdir "$home" 2>/dev/null || true
  if [ "$user_existed" = no ] && getent passwd quorvane >/dev/null; then
    deluser --quiet --system quorvane >/dev/null 2>&1 || true
    delgroup --quiet --system quorvane >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step "manual pages: groff -ww, mandoc -T lint, man -l"
for page in man/QuorvaneService.8 man/quorvane-cli.1; do
  groff -ww -z -man "$page" 2> "$work/groff.txt"
  mandoc -T lint "$page" > "$work/mandoc.txt" 2>&1 || true
  MANWIDTH=80 man --warnings=w -l "$page" > "$work/page.txt" 2> "$work/man.txt"
  for report in groff mandoc man; do
    if [ -s "$work/$report.txt" ]; then
      cat "$work/$report.txt" >&2
      fail "$page: $report reports the lines above"
    fi
  done
  grep -q 'SYNOPSIS' "$work/page.txt" || fail "$page: man -l rendered no SYNOPSIS"
  echo "$page: no warnings"
done

step "contents: dpkg-deb -c $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$work/contents.txt"
expect_file() {  # path, mode
  grep -Eq "^$2 root/root .* \\.$1\$" "$work/contents.txt" || fail "the package lacks $1 ($2)"
}
expect_file "$server" '-rwxr-xr-x'
expect_file /lib/systemd/system/$unit '-rw-r--r--'
expect_file /usr/share/man/man8/QuorvaneService.8.gz '-rw-r--r--'
expect_file "$client" '-rwxr-xr-x'
expect_file /usr/share/man/man1/quorvane-cli.1.gz '-rw-r--r--'
expect_file "$rotation" '-rw-r--r--'
if grep -Eq 'QuorvaneService\.(xml|log)$' "$work/contents.txt"; then
  fail "the settings file and the log are the server's, not the package's"
fi

step "control: dpkg-deb -I"
dpkg-deb -I "$deb" | tee "$work/info.txt"
version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
grep -q "^ Package: $package\$" "$work/info.txt" || fail "wrong package name"
grep -q "^ Version: $version-" "$work/info.txt" || fail "the version is not the project's ($version)"
sed -n 's/^ Depends: //p' "$work/info.txt" | tr ',' '\n' | awk '{print $1}' > "$work/depends.txt"
for dependency in libc6 libstdc++6 libpugixml1v5 adduser; do
  grep -qxF "$dependency" "$work/depends.txt" || fail "Depends lacks $dependency"
done
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
grep -q 'adduser .*--system' "$work/control/postinst" || fail "postinst creates no system user"
grep -q 'systemctl --system stop' "$work/control/prerm" || fail "prerm does not stop the service"
grep -qxF "$rotation" "$work/control/conffiles" || fail "$rotation is not a conffile"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/$unit > "$work/$unit"
for setting in Type=notify User=quorvane "WorkingDirectory=$home" "ExecStart=$server" \
    SuccessExitStatus=1 LimitNOFILE=65536 "ReadWritePaths=$home" ProtectSystem=strict; do
  grep -qx "$setting" "$work/$unit" || fail "the unit lacks $setting"
done
echo "name, version, dependencies, maintainer scripts and unit as expected"

step "install: apt-get install ./$(basename "$deb")"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q "$deb" > "$work/apt.txt" 2>&1; then
  apt-get update -q > /dev/null
  apt-get install -y -q "$deb"
fi
installed || fail "$package is not installed"
IFS=: read -r _ _ uid _ _ user_home user_shell < <(getent passwd quorvane) ||
  fail "postinst created no user quorvane"
[ "$uid" -lt 1000 ] || fail "quorvane is not a system user (uid $uid)"
[ "$user_home" = "$home" ] || fail "quorvane's home is $user_home"
echo "user quorvane: uid $uid, home $user_home, shell $user_shell"
[ "$(stat -c %U:%G "$home")" = quorvane:quorvane ] || fail "$home is not owned by quorvane"
[ "$(stat -c %U "$server")" = root ] || fail "$server is not owned by root"
if command -v systemctl > /dev/null; then
  state=$(systemctl is-enabled "$unit" 2>/dev/null || true)
  [ "$state" = enabled ] || fail "$unit is $state, not enabled"
  echo "$unit: enabled"
fi
if command -v systemd-analyze > /dev/null; then
  systemd-analyze verify "/lib/systemd/system/$unit" || fail "systemd-analyze verify rejects the unit"
  echo "systemd-analyze verify: the unit is valid"
fi
if [ -d /run/systemd/system ]; then
  systemctl is-active --quiet "$unit" || fail "$unit did not start"
  echo "$unit: active"
  systemctl stop "$unit"
else
  echo "systemd does not run here: the service was enabled, not started"
fi
for page in QuorvaneService quorvane-cli; do
  man -w "$page" > /dev/null || fail "man does not find $page"
done

step "log rotation: logrotate -d $rotation"
command -v logrotate > /dev/null || scripts/deps.sh logrotate
grep -q "^$log {\$" "$rotation" || fail "$rotation does not name $log"
for directive in weekly 'rotate 8' compress missingok notifempty 'su quorvane quorvane'; do
  grep -qE "^\s*$directive\$" "$rotation" || fail "$rotation lacks $directive"
done
logrotate -d -s "$work/logrotate.state" "$rotation" > "$work/logrotate-debug.txt" 2>&1 || {
  cat "$work/logrotate-debug.txt" >&2
  fail "logrotate -d rejects $rotation"
}
if grep -qi 'error' "$work/logrotate-debug.txt"; then
  cat "$work/logrotate-debug.txt" >&2
  fail "logrotate -d reports errors in $rotation"
fi
echo "logrotate -d: $rotation is valid"

step "run: $server -d as quorvane, and a client login"
port_in_use() {
  cat /proc/net/tcp /proc/net/udp /proc/net/tcp6 /proc/net/udp6 2>/dev/null |
    awk '{print $2}' | grep -qi -- "$(printf ':%04X$' "$1")"
}
host_port=""
for _ in $(seq 1 200); do
  candidate=$((20000 + RANDOM % 10000))
  if ! port_in_use "$candidate" && ! port_in_use $((candidate + 1)); then
    host_port=$candidate
    break
  fi
done
[ -n "$host_port" ] || fail "no two free ports found"
sound_port=$((host_port + 1))
cat > "$work/settings.xml" <<EOF
<?xml version="1.0" ?><quorvane version="1.1"><hosting>
<server-name>Quorvane Package Check</server-name><hostport>$host_port</hostport>
<soundport>$sound_port</soundport><server-logging>true</server-logging>
<static-channels><channel><name>lobby</name><topic>Say hello</topic></channel></static-channels>
</hosting></quorvane>
EOF
install -o quorvane -g quorvane -m 0640 "$work/settings.xml" "$settings"
# A log left by the service would show a start before this one has begun.
rm -f "$log"
# setpriv runs the program itself (no parent that forwards signals), in the program's directory
# as the unit does, so the log lies beside the settings file.
(cd "$home" && exec setpriv --reuid=quorvane --regid=quorvane --init-groups -- "$server" -d) \
  > "$work/console.txt" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q 'Started Quorvane server\.' "$log" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q 'Started Quorvane server\.' "$log" 2>/dev/null || {
  cat "$work/console.txt" "$log" >&2
  fail "the server did not start on ports $host_port and $sound_port"
}
[ "$(ps -o user= -p "$server_pid")" = quorvane ] || fail "the server does not run as quorvane"
grep -q '^Debugging Quorvane Server\.$' "$work/console.txt" || fail "no console greeting"
grep -q '^Open-file limit ' "$work/console.txt" || fail "no open-file limit on the console"
echo "server $server_pid runs as quorvane on TCP $host_port, UDP $sound_port"

"$client" --port "$host_port" --sound-port "$sound_port" --nick package-check --timeout 10 \
  --exec /channels --exec '/join /lobby/' --exec /pwc | tee "$work/client.txt" ||
  fail "the client failed (exit $?)"
grep -q '/lobby/' "$work/client.txt" || fail "the client did not see /lobby/"
for _ in $(seq 1 50); do
  grep -q 'name: "package-check".* disconnected\.' "$log" && break
  sleep 0.1
done
grep -q 'User #1 name: "package-check" address: .* connected\.' "$log" ||
  fail "the log shows no login"
grep -q 'name: "package-check" changed to channel: "/lobby/"' "$log" ||
  fail "the log shows no join"

# The rotation as cron would run it, forced; without systemd its postrotate signals nothing, so
# the signal is sent by hand, as for any server started by hand. The server creates the new log.
logrotate -f -s "$work/logrotate.state" "$rotation" || fail "logrotate failed"
[ ! -e "$log" ] && grep -q 'Started Quorvane server\.' "$log.1" 2>/dev/null ||
  fail "logrotate did not rename $log to $log.1"
kill -HUP "$server_pid"
for _ in $(seq 1 100); do
  [ -e "$log" ] && break
  sleep 0.1
done
[ -e "$log" ] || fail "SIGHUP did not make the server reopen $log"
[ "$(stat -c %U "$log")" = quorvane ] || fail "the reopened log is not quorvane's"
echo "logrotate renamed the log to $log.1; after SIGHUP the server writes a new $log"

kill -INT "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 1 ] || fail "the server exited with $status after SIGINT, not 1"
grep -q '^Stopping Quorvane Server\.$' "$work/console.txt" || fail "no stopping line"
grep -q 'Stopped Quorvane server\.' "$log" || fail "the log shows no stop"
if grep -q 'Started Quorvane server\.' "$log" || grep -q 'Stopped Quorvane server\.' "$log.1"; then
  fail "the entries before and after the rotation are not in the right files"
fi
echo "the client logged in and joined /lobby/; SIGINT stopped the server with exit code 1"
sed 's/^/  log.1: /' "$log.1"
sed 's/^/  log: /' "$log"

step "remove and purge: the settings file and the log stay"
cp "$settings" "$work/settings-before.xml"
apt-get remove -y -q "$package" > "$work/apt-remove.txt" 2>&1 || {
  cat "$work/apt-remove.txt" >&2
  fail "apt-get remove failed"
}
installed && fail "$package is still installed"
for gone in "$server" "/lib/systemd/system/$unit" "$client" \
    "/etc/systemd/system/multi-user.target.wants/$unit"; do
  [ ! -e "$gone" ] || fail "$gone is still there after the removal"
done
dpkg --purge "$package" > /dev/null
for kept in "$settings" "$log"; do
  [ -f "$kept" ] || fail "$kept was removed with the package"
done
cmp -s "$settings" "$work/settings-before.xml" || fail "the removal changed the settings file"
[ ! -e "$rotation" ] || fail "the purge left $rotation"
getent passwd quorvane > /dev/null || fail "the purge removed the user quorvane"
echo "removed and purged: $settings and $log kept, the user quorvane kept"

echo
echo "package check passed"
