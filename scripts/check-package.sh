#!/usr/bin/env bash
# The check behind `make check-package`, for CI or a scratch machine (it installs and removes
# the package here, as root): the manual pages render without a warning; the package built by
# `make package` holds the expected files, units and maintainer scripts; it installs with its
# dependencies, creates the account quorvane and its state directory, moves the settings file of
# an earlier installation there, and keeps the program root's, out of the account's reach; its
# logrotate configuration passes `logrotate -d`; the installed server runs in the console as
# quorvane with -c on the state directory, a second one (as the template unit runs it) from a
# directory below, a client logs in to each, a third on taken ports fails and says why, and a
# forced rotation, with the signal its postrotate sends to every running unit, moves each
# server's entries to a new log; removing and purging the package keeps the settings files and
# the logs. What the check itself left in /opt/quorvane and /var/lib/quorvane is cleaned up at
# the end.
#
# usage: scripts/check-package.sh PACKAGE_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?package build directory}
package=quorvane-server
unit=quorvane-server.service
template=quorvane-server@.service
program_dir=/opt/quorvane
server=$program_dir/QuorvaneService
state_dir=/var/lib/quorvane
settings=$state_dir/QuorvaneService.xml
log=$state_dir/QuorvaneService.log
instance=$state_dir/lobby
taken=$state_dir/taken
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
instance_pid=""
user_existed=no
getent passwd quorvane >/dev/null && user_existed=yes
cleanup() {
  for pid in $server_pid $instance_pid; do kill -KILL "$pid" 2>/dev/null || true; done
  if installed; then dpkg --purge "$package" >/dev/null 2>&1 || true; fi
  rm -f "$settings" "$log" "$log".* "$program_dir/QuorvaneService.xml"
  rm -rf "$instance" "$taken"
  rmdir "$state_dir" "$program_dir" 2>/dev/null || true
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
expect_file /lib/systemd/system/$template '-rw-r--r--'
grep -Eq "^drwxr-xr-x root/root .* \.$program_dir/\$" "$work/contents.txt" ||
  fail "the package lacks $program_dir/ owned by root (drwxr-xr-x)"
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
# Each unit runs the program with -c on a state directory that systemd creates for the account;
# none makes the program's directory writable.
for pair in "$unit:quorvane" "$template:quorvane/%i"; do
  file=${pair%%:*}
  dir=${pair#*:}
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./lib/systemd/system/$file" > "$work/$file"
  for setting in Type=notify User=quorvane "ExecStart=$server -c %S/$dir" "WorkingDirectory=%S/$dir" \
      "StateDirectory=$dir" SuccessExitStatus=1 RestartPreventExitStatus=2 LimitNOFILE=65536 \
      ProtectSystem=strict; do
    grep -qxF "$setting" "$work/$file" || fail "$file lacks $setting"
  done
  if grep -q '^ReadWritePaths=' "$work/$file"; then fail "$file makes more writable"; fi
done
echo "name, version, dependencies, maintainer scripts and units as expected"

step "an earlier installation: its settings file beside the program"
mkdir -p "$program_dir"
printf '<quorvane version="1.1"><hosting><server-name>Earlier</server-name></hosting></quorvane>\n' \
  > "$work/earlier.xml"
cp "$work/earlier.xml" "$program_dir/QuorvaneService.xml"
echo "$program_dir/QuorvaneService.xml: $(cat "$work/earlier.xml")"

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
[ "$user_home" = "$state_dir" ] || fail "quorvane's home is $user_home"
echo "user quorvane: uid $uid, home $user_home, shell $user_shell"
expect_owner() {  # path, owner:group:mode
  [ "$(stat -c %U:%G:%a "$1")" = "$2" ] || fail "$1 is $(stat -c %U:%G:%a "$1"), not $2"
}
expect_owner "$program_dir" root:root:755
expect_owner "$server" root:root:755
expect_owner "$state_dir" quorvane:quorvane:750
as_quorvane() { setpriv --reuid=quorvane --regid=quorvane --init-groups -- "$@"; }
cp "$server" "$work/program-before"
if as_quorvane sh -c "echo > '$server'" 2>/dev/null ||
  as_quorvane touch "$program_dir/intruder" 2>/dev/null; then
  fail "the account quorvane can change $program_dir"
fi
cmp -s "$server" "$work/program-before" || fail "$server was changed"
echo "$program_dir and the program are root's; quorvane can change neither"
[ ! -e "$program_dir/QuorvaneService.xml" ] || fail "the earlier settings file was not moved"
cmp -s "$settings" "$work/earlier.xml" || fail "$settings is not the earlier settings file"
expect_owner "$settings" quorvane:quorvane:640
echo "the earlier settings file moved to $settings, owned by quorvane"
if command -v systemctl > /dev/null; then
  state=$(systemctl is-enabled "$unit" 2>/dev/null || true)
  [ "$state" = enabled ] || fail "$unit is $state, not enabled"
  echo "$unit: enabled"
fi
if command -v systemd-analyze > /dev/null; then
  # An instance of the template, as `systemctl enable quorvane-server@lobby` would load it.
  cp "/lib/systemd/system/$template" "$work/quorvane-server@lobby.service"
  for file in "/lib/systemd/system/$unit" "$work/quorvane-server@lobby.service"; do
    systemd-analyze verify "$file" || fail "systemd-analyze verify rejects $file"
  done
  echo "systemd-analyze verify: the unit and an instance of the template are valid"
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
grep -qxF "$log $state_dir/*/QuorvaneService.log {" "$rotation" ||
  fail "$rotation does not name $log and the instances' logs"
for directive in weekly 'rotate 8' compress missingok notifempty sharedscripts \
    'su quorvane quorvane'; do
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

step "run: $server -d -c $state_dir as quorvane, a second server from $instance, client logins"
port_in_use() {
  cat /proc/net/tcp /proc/net/udp /proc/net/tcp6 /proc/net/udp6 2>/dev/null |
    awk '{print $2}' | grep -qi -- "$(printf ':%04X$' "$1")"
}
# Two free ports in a row, the first in $free_port.
free_ports() {
  free_port=""
  for _ in $(seq 1 200); do
    candidate=$((20000 + RANDOM % 10000))
    if ! port_in_use "$candidate" && ! port_in_use $((candidate + 1)); then
      free_port=$candidate
      return
    fi
  done
  fail "no two free ports found"
}
# settings_file PATH NAME HOST_PORT: a settings file owned by quorvane, logging on.
settings_file() {
  cat > "$work/settings.xml" <<SETTINGS
<?xml version="1.0" ?><quorvane version="1.1"><hosting>
<server-name>$2</server-name><hostport>$3</hostport>
<soundport>$(($3 + 1))</soundport><server-logging>true</server-logging>
<static-channels><channel><name>lobby</name><topic>Say hello</topic></channel></static-channels>
</hosting></quorvane>
SETTINGS
  install -o quorvane -g quorvane -m 0640 "$work/settings.xml" "$1"
}
# start_server DIR CONSOLE: the installed program as quorvane with -c DIR, from a directory
# that quorvane cannot write (the log must go to DIR); setpriv runs the program itself (no
# parent that forwards signals). Its pid in $started.
start_server() {
  (cd / && exec setpriv --reuid=quorvane --regid=quorvane --init-groups -- \
    "$server" -d -c "$1") > "$2" 2>&1 &
  started=$!
}
# wait_started LOG PID CONSOLE
wait_started() {
  for _ in $(seq 1 100); do
    grep -q 'Started Quorvane server\.' "$1" 2>/dev/null && break
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  grep -q 'Started Quorvane server\.' "$1" 2>/dev/null || {
    cat "$3" "$1" >&2
    fail "the server with the log $1 did not start"
  }
  [ "$(ps -o user= -p "$2")" = quorvane ] || fail "the server $2 does not run as quorvane"
}
# login PORT NICK LOG: a client logs in, joins /lobby/, and the server's log shows it.
login() {
  "$client" --port "$1" --sound-port $(($1 + 1)) --nick "$2" --timeout 10 \
    --exec /channels --exec '/join /lobby/' --exec /pwc | tee "$work/client.txt" ||
    fail "the client failed (exit $?)"
  grep -q '/lobby/' "$work/client.txt" || fail "the client did not see /lobby/"
  for _ in $(seq 1 50); do
    grep -q "name: \"$2\".* disconnected\\." "$3" && break
    sleep 0.1
  done
  grep -q "User #1 name: \"$2\" address: .* connected\\." "$3" || fail "$3 shows no login"
  grep -q "name: \"$2\" changed to channel: \"/lobby/\"" "$3" || fail "$3 shows no join"
}

free_ports
host_port=$free_port
settings_file "$settings" "Quorvane Package Check" "$host_port"
install -d -o quorvane -g quorvane -m 0750 "$instance"
while free_ports && [ "$free_port" -le $((host_port + 1)) ] &&
  [ $((free_port + 1)) -ge "$host_port" ]; do :; done
instance_port=$free_port
settings_file "$instance/QuorvaneService.xml" "Quorvane Package Lobby" "$instance_port"
# A log left by the service would show a start before this one has begun.
rm -f "$log"
start_server "$state_dir" "$work/console.txt"
server_pid=$started
start_server "$instance" "$work/instance-console.txt"
instance_pid=$started
wait_started "$log" "$server_pid" "$work/console.txt"
wait_started "$instance/QuorvaneService.log" "$instance_pid" "$work/instance-console.txt"
grep -q '^Debugging Quorvane Server\.$' "$work/console.txt" || fail "no console greeting"
grep -q '^Open-file limit ' "$work/console.txt" || fail "no open-file limit on the console"
echo "server $server_pid runs as quorvane on TCP $host_port, UDP $((host_port + 1))"
echo "server $instance_pid runs as quorvane on TCP $instance_port, UDP $((instance_port + 1))"
login "$host_port" package-check "$log"
login "$instance_port" lobby-check "$instance/QuorvaneService.log"

# A third server on the ports of the first: it ends at once with exit code 2 and says why.
install -d -o quorvane -g quorvane -m 0750 "$taken"
settings_file "$taken/QuorvaneService.xml" "Taken" "$host_port"
status=0
(cd / && setpriv --reuid=quorvane --regid=quorvane --init-groups -- \
  timeout 30 "$server" -d -c "$taken") > "$work/taken.txt" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a server on taken ports exited with $status, not 2"
grep -q "^Unable to launch server using TCP port $host_port UDP port $((host_port + 1)) (TCP port $host_port: Address already in use" \
  "$work/taken.txt" || { cat "$work/taken.txt" >&2; fail "the failed start did not say why"; }
echo "a third server on TCP $host_port: exit code 2 and"
sed 's/^/  | /' "$work/taken.txt"

step "log rotation: forced, with the postrotate signal to every running unit"
# The rotation as cron would run it, forced. Systemd does not run here: a stand-in systemctl
# lists the two servers as running units and records what it is asked; the signal it is asked
# for is then sent by hand, as for any server started by hand. The servers create the new logs.
mkdir -p "$work/bin"
cat > "$work/bin/systemctl" <<STANDIN
#!/bin/sh
echo "\$*" >> "$work/systemctl-calls.txt"
if [ "\$1" = list-units ]; then
  echo "$unit loaded active running Quorvane Server"
  echo "quorvane-server@lobby.service loaded active running Quorvane Server lobby"
fi
STANDIN
chmod 0755 "$work/bin/systemctl"
PATH="$work/bin:$PATH" logrotate -f -s "$work/logrotate.state" "$rotation" ||
  fail "logrotate failed"
cat > "$work/expected-calls.txt" <<CALLS
list-units --plain --no-legend --state=active quorvane-server*.service
kill --signal=HUP --kill-who=main $unit
kill --signal=HUP --kill-who=main quorvane-server@lobby.service
CALLS
cmp -s "$work/systemctl-calls.txt" "$work/expected-calls.txt" || {
  diff "$work/expected-calls.txt" "$work/systemctl-calls.txt" >&2
  fail "postrotate did not signal every running unit once"
}
echo "postrotate ran once and signalled $unit and quorvane-server@lobby.service"
for pair in "$log:$server_pid" "$instance/QuorvaneService.log:$instance_pid"; do
  file=${pair%%:*}
  pid=${pair#*:}
  [ ! -e "$file" ] && grep -q 'Started Quorvane server\.' "$file.1" 2>/dev/null ||
    fail "logrotate did not rename $file to $file.1"
  kill -HUP "$pid"
  for _ in $(seq 1 100); do
    [ -e "$file" ] && break
    sleep 0.1
  done
  [ -e "$file" ] || fail "SIGHUP did not make the server reopen $file"
  [ "$(stat -c %U "$file")" = quorvane ] || fail "the reopened $file is not quorvane's"
  echo "logrotate renamed $file to $file.1; after SIGHUP the server writes a new $file"
done

for pid in "$server_pid" "$instance_pid"; do
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 1 ] || fail "the server $pid exited with $status after SIGINT, not 1"
done
server_pid=""
instance_pid=""
grep -q '^Stopping Quorvane Server\.$' "$work/console.txt" || fail "no stopping line"
grep -q 'Stopped Quorvane server\.' "$log" || fail "the log shows no stop"
if grep -q 'Started Quorvane server\.' "$log" || grep -q 'Stopped Quorvane server\.' "$log.1"; then
  fail "the entries before and after the rotation are not in the right files"
fi
echo "the clients logged in and joined /lobby/; SIGINT stopped both servers with exit code 1"
sed 's/^/  log.1: /' "$log.1"
sed 's/^/  log: /' "$log"

step "remove and purge: the settings files and the logs stay"
cp "$settings" "$work/settings-before.xml"
apt-get remove -y -q "$package" > "$work/apt-remove.txt" 2>&1 || {
  cat "$work/apt-remove.txt" >&2
  fail "apt-get remove failed"
}
installed && fail "$package is still installed"
for gone in "$server" "/lib/systemd/system/$unit" "/lib/systemd/system/$template" "$client" \
    "/etc/systemd/system/multi-user.target.wants/$unit"; do
  [ ! -e "$gone" ] || fail "$gone is still there after the removal"
done
dpkg --purge "$package" > /dev/null
for kept in "$settings" "$log" "$instance/QuorvaneService.xml" "$instance/QuorvaneService.log"; do
  [ -f "$kept" ] || fail "$kept was removed with the package"
done
cmp -s "$settings" "$work/settings-before.xml" || fail "the removal changed the settings file"
[ ! -e "$rotation" ] || fail "the purge left $rotation"
getent passwd quorvane > /dev/null || fail "the purge removed the user quorvane"
echo "removed and purged: the settings files and logs in $state_dir kept, the user quorvane kept"

echo
echo "package check passed"
