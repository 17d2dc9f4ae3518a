#!/usr/bin/env bash
# Runs the Windows build under Wine, in a fresh Wine prefix inside the build tree: its unit tests,
# then what only the program itself shows there (the unit tests check its texts and parsing): in
# the console -h and -v, clients (tests/wine/client.py, over loopback) and the status endpoint, a
# second server with -c on the same ports that exits with code 2; the service installed (the
# registry checked), failing to start on those ports with the code 2; Ctrl+C to the console
# server; the service started on them, stopped and removed; -i -c.
# Usage: scripts/test-windows.sh [build-windows]
set -uo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${1:-build-windows}")
work="$build/wine"
client=(python3 "$PWD/tests/wine/client.py")
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
PROGRAM=QuorvaneService.exe
version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
SERVICE="Quorvane Server"
APP_LOG='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
SERVICE_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SERVICE"
# No prompts for the .NET and HTML engines, which the program does not use.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

passed=0 failed=0 background=()

step() { printf '\n---- %s ----\n' "$*"; }
# expect WHAT COMMAND...: counts the command's success as a check called WHAT.
expect() {
  if "${@:2}"; then passed=$((passed + 1)); echo "  ok    $1"
  else failed=$((failed + 1)); echo "  FAIL  $1"; fi
}
matches() { [[ $1 =~ $2 ]]; }
# answered CODE PATTERN: the last program run ended with CODE and its console text matches.
answered() { [ "$rc" = "$1" ] && matches "$out" "$2"; }
tells_stop() { tr -d '\r' <"$1" | grep -q ' - Stopped Quorvane server\.$'; }

# Polls the command every 0.2 s for up to SECONDS seconds; its last result.
within() {
  local deadline=$((SECONDS + $1))
  until "${@:2}"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
ended() { ! kill -0 "$1" 2>/dev/null; }

# program DIR SWITCH...: runs the program in DIR; its console text (CR LF made LF) in $out, its
# exit code in $rc.
program() {
  (cd "$1" && timeout 120 "$WINE" "$PROGRAM" "${@:2}") >"$work/program.txt" 2>&1
  rc=$?
  out=$(tr -d '\r' <"$work/program.txt")
  echo "  \$ $PROGRAM ${*:2}    (exit code $rc)"
  [ -z "$out" ] || sed 's/^/  | /' <<<"$out"
}

wine_tool() { timeout 60 "$WINE" "$@" 2>/dev/null | tr -d '\r'; }
# reg_is KEY VALUE DATA: the value holds the data as `reg query` shows it.
reg_is() {
  [ "$(wine_tool reg query "$1" /v "$2" | sed -n "s/^    $2    REG_[A-Z_]*    //p")" = "$3" ]
}
key_absent() { ! wine_tool reg query "$1" >/dev/null; }

# start_clients HOSTPORT SOUNDPORT: client.py's session in the background, until its clients
# have talked (or it gave up); session_ended then tells whether they got "quit" in the end.
start_clients() {
  local ready="$work/ready"
  rm -f "$ready"
  "${client[@]}" session "$1" "$2" "$ready" &
  session_pid=$!
  background+=($session_pid)
  within 60 eval '[ -e "$ready" ] || ended $session_pid'
}
session_ended() { within 30 ended "$session_pid" && wait "$session_pid"; }

cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
  # Ends every process of this prefix (the service, services.exe) and the server itself.
  "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w 2>/dev/null
}
trap cleanup EXIT
trap 'exit 143' TERM INT

open_session() {
  "$WINESERVER" -p
  timeout 60 "$WINE" cmd /c ver >"$work/first.txt" 2>>"$work/session.txt"
  tr -d '\r' <"$work/first.txt" | grep .
}

# prefix_processes FILE PATTERN: the pids of this prefix's processes whose /proc/PID/FILE
# matches PATTERN.
prefix_processes() {
  local p
  for p in /proc/[0-9]*; do
    [[ $(tr '\0' ' ' 2>/dev/null <"$p/$1") =~ $2 ]] &&
      grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
}
no_service_process() { [ -z "$(prefix_processes comm '^QuorvaneService$')" ]; }

# run_watched LOG COMMAND...: runs the command with its output in LOG, for at most 300 s; its
# exit code in $rc, or "server" when Wine's own server ended under it (Wine 8.0's wineserver
# has been seen to fail an assertion under heavy socket traffic).
run_watched() {
  local log=$1 server pid
  server=$(prefix_processes cmdline /wineserver)
  "${@:2}" >"$log" 2>&1 &
  pid=$!
  background+=($pid)
  within 300 eval 'ended $pid || ended ${server:-$pid}'
  if ended "$pid"; then
    wait "$pid"
    rc=$?
  else
    ended "${server:-$pid}" && rc=server || rc=timeout
    kill "$pid"
    wait "$pid" 2>/dev/null
  fi
}

started=$SECONDS
step "Wine: a fresh prefix in $WINEPREFIX"
"$WINESERVER" -k 2>/dev/null
"$WINESERVER" -w 2>/dev/null
rm -rf "$work"
mkdir -p "$work/unit" "$work/console" "$work/service"
begun=$SECONDS
timeout 300 "$WINE" wineboot -i >"$work/session.txt" 2>&1
expect "wineboot -i ($((SECONDS - begun)) s)" [ $? -eq 0 ]
timeout 60 "$WINESERVER" -w
# Then one persistent session for the whole run, so that its service manager lives on between
# the commands instead of starting again (and auto-starting the installed service). Its first
# process starts the service manager, whose output (a crash report, say) goes to the file.
"$WINE" --version
open_session

step "unit tests of the Windows build"
for exe in "$build"/tests/*_tests.exe; do
  name=$(basename "$exe")
  log="$work/unit/${name%.exe}.txt"
  echo "  \$ $name"
  run_watched "$log" env -C "$work/unit" "$WINE" "$exe"
  if [ "$rc" = server ]; then
    tr -d '\r' <"$log"
    echo "  Wine's own server ended during $name (its message is above); $name again:"
    open_session
    run_watched "$log" env -C "$work/unit" "$WINE" "$exe"
  fi
  tr -d '\r' <"$log"
  summary=$(awk '/^\[ *(PASSED|SKIPPED|FAILED) *\] [0-9]+ tests?[.,]/ {
    gsub(/[][]/, ""); printf "%s%s %s", sep, $2, tolower($1); sep = ", " }' "$log")
  # A crash at exit can leave the exit code 0: the summary and the crash report count too.
  expect "$name (exit code $rc): $summary" eval '[ "$rc" = 0 ] &&
    grep -q "^\[  PASSED  \]" "$log" && ! grep -qE "^\[  FAILED  \]|Unhandled" "$log"'
done

step "the program in the console (-d)"
dir="$work/console"
settings="$dir/QuorvaneService.xml"
cp "$build/src/$PROGRAM" "$dir/"
for pair in "-h Usage: QuorvaneService " "--help Usage: QuorvaneService " \
  "-v QuorvaneService \(Quorvane Server\) $version$" \
  "--version QuorvaneService \(Quorvane Server\) $version$"; do
  program "$dir" "${pair%% *}" -d
  expect "${pair%% *}: exit code 1, the usage or the version as asked" answered 1 "^${pair#* }"
done
expect "nothing started: no settings file was written" [ ! -e "$settings" ]

read -r host_port sound_port status_port < <("${client[@]}" free-ports 3)
printf '<quorvane version="1.1"><hosting><hostport>%s</hostport><soundport>%s</soundport>%s%s%s\n' \
  "$host_port" "$sound_port" "<server-logging>true</server-logging>" \
  "<status-port>$status_port</status-port>" "</hosting></quorvane>" >"$settings"
echo "  \$ $PROGRAM -d    (TCP port $host_port, UDP port $sound_port, status port $status_port)"
(cd "$dir" && exec "$WINE" "$PROGRAM" -d) >"$dir/console.raw" 2>&1 &
console_pid=$!
background+=($console_pid)
expect "the server listens on TCP port $host_port" "${client[@]}" wait-listening "$host_port"
start_clients "$host_port" "$sound_port"
status=$(curl -s --max-time 10 "http://127.0.0.1:$status_port/status.json")
expect "the status endpoint's /status.json lists both clients" \
  matches "$status" '"nick":"(alice|bob)".*"nick":"(alice|bob)"'

taken="Unable to launch server using TCP port $host_port UDP port $sound_port"
mkdir -p "$dir/taken" && cp "$settings" "$dir/taken/"
program "$dir" -d -c taken
expect "a second server on the same ports (-c taken) exits with code 2 and says why" \
  answered 2 "$taken \\(TCP port $host_port: .+\\)\\."
expect "its log lies in the folder of -c" grep -qF "$taken (" "$dir/taken/QuorvaneService.log"

step "the service, first while the console server holds its ports"
dir="$work/service"
cp "$build/src/$PROGRAM" "$settings" "$dir/"
service_exe="$(wine_tool winepath -w "$dir")\\$PROGRAM"
source="$APP_LOG\\$SERVICE"
# "Sources" of the Application log seeded as on Windows.
wine_tool reg add "$APP_LOG" /v Sources /t REG_MULTI_SZ /d 'Application\0Other Source' /f \
  >/dev/null
program "$dir" -i
expect "-i: installed, exit code 1" answered 1 "^$SERVICE installed\\.$"
expect "the service runs the program, quoted" reg_is "$SERVICE_KEY" ImagePath "\"$service_exe\""
expect "it starts automatically (Start 0x2)" reg_is "$SERVICE_KEY" Start 0x2
expect "as LocalSystem" reg_is "$SERVICE_KEY" ObjectName LocalSystem
expect "event source: EventMessageFile is the program" \
  reg_is "$source" EventMessageFile "$service_exe"
expect "event source: TypesSupported 0x7" reg_is "$source" TypesSupported 0x7
expect "\"Sources\" gained the service name at its end" \
  reg_is "$APP_LOG" Sources "Application\\0Other Source\\0$SERVICE"

# The service stops with its code instead of reporting RUNNING, and -s says it failed.
program "$dir" -s
expect "-s on taken ports: failed to start, exit code 0" \
  answered 0 $'^Starting up Quorvane Server\\.+\nQuorvane Server failed to start\\.$'
query=$(wine_tool sc query "$SERVICE")
sed 's/^/  | /' <<<"$query"
expect "sc query: stopped with ERROR_SERVICE_SPECIFIC_ERROR (1066) and the code 2" \
  matches "$query" $'STATE +: 1 +STOPPED.*WIN32_EXIT_CODE +: 1066 .*SERVICE_EXIT_CODE +: 2 '

echo "  kill -INT $console_pid    (Wine delivers SIGINT to a console program as CTRL_C_EVENT)"
kill -INT "$console_pid"
rc=timeout
within 30 ended "$console_pid" && { wait "$console_pid"; rc=$?; }
out=$(tr -d '\r' <"$work/console/console.raw")
sed 's/^/  | /' <<<"$out"
expect "Ctrl+C: \"Stopping Quorvane Server.\" and exit code 1" \
  answered 1 $'(^|\n)Stopping Quorvane Server\\.(\n|$)'
expect "the clients got \"quit\" and the server closed them" session_ended
expect "the log lies in the current directory and tells the stop" \
  tells_stop "$work/console/QuorvaneService.log"
expect "no process of the program is left" within 20 no_service_process

step "the service: start, stop, remove"
find "$WINEPREFIX/drive_c/windows" -maxdepth 2 -name QuorvaneService.log -delete
program "$dir" -s
expect "-s: started, exit code 1" \
  answered 1 $'^Starting up Quorvane Server\\.+\nQuorvane Server started\\.$'
expect "the service listens on TCP port $host_port" "${client[@]}" wait-listening "$host_port"
start_clients "$host_port" "$sound_port"
program "$dir" -e
expect "-e: stopped, exit code 1" \
  answered 1 $'^Stopping Quorvane Server\\.+\nQuorvane Server stopped\\.$'
expect "the clients got \"quit\" and the server closed them" session_ended
expect "the service process ends" within 20 no_service_process
log=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 2 -name QuorvaneService.log | head -n 1)
expect "the service's log lies in its working directory (${log#"$WINEPREFIX/"})" \
  tells_stop "${log:-/nonexistent}"

program "$dir" -u
expect "-u of the stopped service: only \"removed\", exit code 1" answered 1 "^$SERVICE removed\\.$"
expect "the service name is gone from \"Sources\"" \
  reg_is "$APP_LOG" Sources 'Application\0Other Source'
expect "the event source key is deleted" key_absent "$source"
expect "the service is deleted" within 20 key_absent "$SERVICE_KEY"
program "$dir"
expect "without switches the dispatcher fails: exit code 0" [ "$rc" = 0 ]
program "$dir" -i -c 'C:\state dir'
expect "-i -c puts the folder, quoted, on the service's command line" \
  reg_is "$SERVICE_KEY" ImagePath "\"$service_exe\" -c \"C:\\state dir\""

step "Wine session"
expect "no Wine process crashed" eval '! grep -q Unhandled "$work/session.txt"'
grep 'Unhandled' -A 20 "$work/session.txt"
step "Wine checks done in $((SECONDS - started)) s"
echo "windows: $passed passed, $failed failed"
[ $failed -eq 0 ]
