#!/usr/bin/env bash
# The check behind `make check-package` (it installs and removes the package here, as root) of
# what the package decides; the program's own behaviour is the unit tests'. The manual pages
# render without a warning; the package holds the expected files, units and maintainer scripts;
# it installs with its dependencies, creates the account quorvane and its state directory, moves
# an earlier installation's settings file there, and keeps the program root's, out of the
# account's reach; the installed server runs as quorvane on the state directory and serves a
# client; a forced rotation renames the logs of the unit and of the template's instances and
# signals every running unit; removing and purging the package keeps settings files and logs.
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
instance_log=$state_dir/lobby/QuorvaneService.log
rotation=/etc/logrotate.d/$package
client=/usr/bin/quorvane-cli

step() { printf '\n== %s\n' "$*"; }
fail() {
  echo "check-package: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; }
as_quorvane() { setpriv --reuid=quorvane --regid=quorvane --init-groups -- "$@"; }
# wait_for SECONDS COMMAND...: polls the command every 0.1 s until it succeeds; its last result.
wait_for() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return || sleep 0.1; done
  "${@:2}"
}
expect_owner() {  # path, owner:group:mode
  [ "$(stat -c %U:%G:%a "$1")" = "$2" ] || fail "$1 is $(stat -c %U:%G:%a "$1"), not $2"
}

debs=("$build_dir"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ${package}_*.deb in $build_dir"
deb=$(realpath "${debs[0]}")
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"
command -v python3 > /dev/null || scripts/deps.sh python3
command -v logrotate > /dev/null || scripts/deps.sh logrotate

work=$(mktemp -d /tmp/quorvane-package.XXXXXX)
server_pid=""
user_existed=no
getent passwd quorvane >/dev/null && user_existed=yes
cleanup() {
  [ -z "$server_pid" ] || kill -KILL "$server_pid" 2>/dev/null || true
  if installed; then dpkg --purge "$package" >/dev/null 2>&1 || true; fi
  rm -f "$settings" "$log" "$log".* "$program_dir/QuorvaneService.xml"
  rm -rf "$(dirname "$instance_log")"
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
  groff -ww -z -man "$page" > "$work/lint.txt" 2>&1 || fail "groff rejects $page"
  mandoc -T lint "$page" >> "$work/lint.txt" 2>&1 || true
  MANWIDTH=80 man --warnings=w -l "$page" 2>> "$work/lint.txt" | grep SYNOPSIS > /dev/null ||
    fail "$page: man -l rendered no SYNOPSIS"
  if [ -s "$work/lint.txt" ]; then
    cat "$work/lint.txt" >&2
    fail "$page: the lint reports the lines above"
  fi
  echo "$page: no warnings"
done

step "contents and control: dpkg-deb -c, dpkg-deb -I"
dpkg-deb -c "$deb" | tee "$work/contents.txt"
for entry in "$server -rwxr-xr-x" "$client -rwxr-xr-x" "$program_dir/ drwxr-xr-x" \
    "/lib/systemd/system/$unit -rw-r--r--" "/lib/systemd/system/$template -rw-r--r--" \
    "/usr/share/man/man8/QuorvaneService.8.gz -rw-r--r--" "$rotation -rw-r--r--" \
    "/usr/share/man/man1/quorvane-cli.1.gz -rw-r--r--"; do
  grep -Eq "^${entry#* } root/root .* \\.${entry%% *}\$" "$work/contents.txt" ||
    fail "the package lacks ${entry%% *} (${entry#* }, root's)"
done
if grep -Eq 'QuorvaneService\.(xml|log)$' "$work/contents.txt"; then
  fail "the settings file and the log are the server's, not the package's"
fi
dpkg-deb -I "$deb" | tee "$work/info.txt"
version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
grep -q "^ Version: $version-" "$work/info.txt" || fail "the version is not the project's ($version)"
sed -n 's/^ Depends: //p' "$work/info.txt" | tr ',' '\n' | awk '{print $1}' > "$work/depends.txt"
for dependency in libc6 libstdc++6 libpugixml1v5 adduser; do
  grep -qxF "$dependency" "$work/depends.txt" || fail "Depends lacks $dependency"
done
dpkg-deb -e "$deb" "$work/control"
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
echo "version, dependencies, prerm, conffiles and units as expected"

step "install over an earlier installation, whose settings file lies beside the program"
mkdir -p "$program_dir"
echo '<quorvane version="1.1"><hosting><server-name>Earlier</server-name></hosting></quorvane>' |
  tee "$program_dir/QuorvaneService.xml" > "$work/earlier.xml"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q "$deb" > "$work/apt.txt" 2>&1; then
  apt-get update -q > /dev/null
  apt-get install -y -q "$deb"
fi
installed || fail "$package is not installed"
IFS=: read -r _ _ uid _ _ user_home _ < <(getent passwd quorvane) ||
  fail "postinst created no user quorvane"
[ "$uid" -lt 1000 ] || fail "quorvane is not a system user (uid $uid)"
[ "$user_home" = "$state_dir" ] || fail "quorvane's home is $user_home"
expect_owner "$program_dir" root:root:755
expect_owner "$server" root:root:755
expect_owner "$state_dir" quorvane:quorvane:750
cp "$server" "$work/program-before"
if as_quorvane sh -c "echo > '$server'" 2>/dev/null ||
  as_quorvane touch "$program_dir/intruder" 2>/dev/null; then
  fail "the account quorvane can change $program_dir"
fi
cmp -s "$server" "$work/program-before" || fail "$server was changed"
echo "system user quorvane (uid $uid); $program_dir and the program are root's and out of its reach"
[ ! -e "$program_dir/QuorvaneService.xml" ] || fail "the earlier settings file was not moved"
cmp -s "$settings" "$work/earlier.xml" || fail "$settings is not the earlier settings file"
expect_owner "$settings" quorvane:quorvane:640
echo "the earlier settings file moved to $settings, owned by quorvane"
if command -v systemctl > /dev/null; then
  state=$(systemctl is-enabled "$unit" 2>/dev/null || true)
  [ "$state" = enabled ] || fail "$unit is $state, not enabled"
fi
if command -v systemd-analyze > /dev/null; then
  # An instance of the template, as `systemctl enable quorvane-server@lobby` would load it.
  cp "/lib/systemd/system/$template" "$work/quorvane-server@lobby.service"
  for file in "/lib/systemd/system/$unit" "$work/quorvane-server@lobby.service"; do
    systemd-analyze verify "$file" || fail "systemd-analyze verify rejects $file"
  done
fi
if [ -d /run/systemd/system ]; then
  systemctl is-active --quiet "$unit" && systemctl stop "$unit" || fail "$unit did not start"
fi

step "run: $server -d -c $state_dir as quorvane, from a directory it cannot write, a client login"
read -r host_port sound_port < <(python3 tests/wine/client.py free-ports 2)
cat > "$work/settings.xml" <<SETTINGS
<quorvane version="1.1"><hosting><hostport>$host_port</hostport><soundport>$sound_port</soundport>
<server-logging>true</server-logging><static-channels><channel><name>lobby</name></channel>
</static-channels></hosting></quorvane>
SETTINGS
install -o quorvane -g quorvane -m 0640 "$work/settings.xml" "$settings"
# A log left by the service would show a start before this one has begun. setpriv runs the
# program itself (no parent that forwards signals).
rm -f "$log"
(cd / && exec setpriv --reuid=quorvane --regid=quorvane --init-groups -- \
  "$server" -d -c "$state_dir") > "$work/console.txt" 2>&1 &
server_pid=$!
wait_for 10 grep -qs 'Started Quorvane server\.' "$log" || {
  cat "$work/console.txt" "$log" >&2
  fail "the server did not start"
}
"$client" --port "$host_port" --sound-port "$sound_port" --nick package-check --timeout 10 \
  --exec '/join /lobby/' --exec /pwc || fail "the client failed"
wait_for 5 grep -q 'name: "package-check" changed to channel: "/lobby/"' "$log" ||
  fail "$log shows no join"
kill -INT "$server_pid"
wait "$server_pid" || true
server_pid=""
echo "the server ran as quorvane on TCP $host_port, wrote its log in $state_dir and served a client"

step "log rotation, forced: both logs renamed, the postrotate signal to every running unit"
# The log of an instance of the template, as such a server would leave it.
install -d -o quorvane -g quorvane -m 0750 "$(dirname "$instance_log")"
as_quorvane sh -c "echo 'an entry' > '$instance_log'"
# Systemd does not run here: a stand-in systemctl lists the unit and an instance as running and
# records what it is asked.
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
PATH="$work/bin:$PATH" logrotate -f -s "$work/logrotate.state" "$rotation" > "$work/logrotate.txt" \
  2>&1 && ! grep -qi error "$work/logrotate.txt" || {
  cat "$work/logrotate.txt" >&2
  fail "logrotate rejects $rotation"
}
cat > "$work/expected-calls.txt" <<CALLS
list-units --plain --no-legend --state=active quorvane-server*.service
kill --signal=HUP --kill-who=main $unit
kill --signal=HUP --kill-who=main quorvane-server@lobby.service
CALLS
diff "$work/expected-calls.txt" "$work/systemctl-calls.txt" >&2 ||
  fail "postrotate did not signal every running unit once"
for file in "$log" "$instance_log"; do
  [ ! -e "$file" ] && [ -s "$file.1" ] || fail "logrotate did not rename $file to $file.1"
done
echo "logrotate renamed both logs and signalled $unit and quorvane-server@lobby.service"

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
for kept in "$settings" "$log.1" "$instance_log.1"; do
  [ -f "$kept" ] || fail "$kept was removed with the package"
done
cmp -s "$settings" "$work/settings-before.xml" || fail "the removal changed the settings file"
[ ! -e "$rotation" ] || fail "the purge left $rotation"
getent passwd quorvane > /dev/null || fail "the purge removed the user quorvane"
echo "removed and purged: the settings files and logs in $state_dir kept, the user quorvane kept"

echo
echo "package check passed"
