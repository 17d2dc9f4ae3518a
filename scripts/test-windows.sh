#!/usr/bin/env bash
# Runs the Windows build under Wine, in a fresh Wine prefix inside the build tree:
#   1. the unit tests of the Windows build;
#   2. the program in the console (-d): -h and -v, the default settings file, then clients over
#      loopback and its status endpoint, and a second server (-c, a folder of its own) on the
#      same ports that fails;
#   3. a console stop: Ctrl+C (Wine turns SIGINT into CTRL_C_EVENT) reaches stop, exit code 1;
#   4. the program as a service: -i, -i again, -s, -e, a start on taken ports that fails, -u,
#      and no switches at all.
# Every step says what it checked. Clients are tests/wine/client.py, on Linux, over 127.0.0.1.
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

passed=0
failed=0
background=()

step() { printf '\n---- %s ----\n' "$*"; }
ok() { passed=$((passed + 1)); echo "  ok    $*"; }
bad() { failed=$((failed + 1)); echo "  FAIL  $*"; }
# expect WHAT COMMAND...: counts the command's success as a check called WHAT.
expect() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
has_line() { grep -qxF -- "$2" <<<"$1"; }
contains() { grep -qF -- "$2" <<<"$1"; }
matches() { [[ $1 =~ $2 ]]; }

# Polls the command every 0.2 s for up to SECONDS seconds; its last result.
within() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.2
  done
}

# program DIR SWITCH...: runs the program in DIR; its console text (CR LF made LF) in $out, its
# exit code in $rc.
program() {
  local dir=$1
  shift
  (cd "$dir" && timeout 120 "$WINE" "$PROGRAM" "$@") >"$work/program.txt" 2>&1
  rc=$?
  out=$(tr -d '\r' <"$work/program.txt")
  echo "  \$ $PROGRAM $*    (exit code $rc)"
  [ -n "$out" ] && sed 's/^/  | /' <<<"$out"
  return 0
}

wine_tool() { timeout 60 "$WINE" "$@" 2>/dev/null | tr -d '\r'; }
# The data of one registry value as `reg query` shows it; fails when the value is absent.
reg_value() {
  local text
  text=$(wine_tool reg query "$1" /v "$2") || return 1
  sed -n "s/^    $2    REG_[A-Z_]*    //p" <<<"$text"
}
key_absent() { ! wine_tool reg query "$1" >/dev/null; }

# A client in the background; its pid is remembered so that nothing outlives the run.
start_client() {
  "${client[@]}" "$@" &
  background+=($!)
  client_pid=$!
}
# True once the client wrote its ready file, or gave up.
client_settled() { [ -e "$1" ] || ! kill -0 "$client_pid" 2>/dev/null; }

cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
  # Ends every process of this prefix (the service, services.exe) and the server itself.
  "$WINESERVER" -k 2>/dev/null
  timeout 30 "$WINESERVER" -w 2>/dev/null
}
trap cleanup EXIT
trap 'exit 143' TERM INT

start_wine() {
  step "Wine: a fresh prefix in $WINEPREFIX"
  "$WINESERVER" -k 2>/dev/null
  "$WINESERVER" -w 2>/dev/null
  rm -rf "$work"
  mkdir -p "$work/unit" "$work/console" "$work/service"
  local begun=$SECONDS
  timeout 300 "$WINE" wineboot -i >"$work/session.txt" 2>&1
  expect "wineboot -i ($((SECONDS - begun)) s)" [ $? -eq 0 ]
  timeout 60 "$WINESERVER" -w
  # Then one persistent session for the whole run, so that its service manager lives on between
  # the commands instead of starting again (and auto-starting the installed service). Its first
  # process starts the service manager, whose output (a crash report, say) goes to the file.
  "$WINE" --version
  start_session
}

start_session() {
  "$WINESERVER" -p
  timeout 60 "$WINE" cmd /c ver >"$work/first.txt" 2>>"$work/session.txt"
  tr -d '\r' <"$work/first.txt" | grep .
}

# The pid of this prefix's wineserver, if one runs.
server_pid() {
  local p
  for p in /proc/[0-9]*; do
    [[ $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) == */wineserver* ]] &&
      grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
}

# run_watched LOG COMMAND...: runs the command with its output in LOG, for at most 300 s; its
# exit code in $rc, or "server" when Wine's own server ended under it (Wine 8.0's wineserver
# has been seen to fail an assertion under heavy socket traffic).
run_watched() {
  local log=$1
  shift
  local server
  server=$(server_pid)
  "$@" >"$log" 2>&1 &
  local pid=$! deadline=$((SECONDS + 300))
  background+=($pid)
  while kill -0 "$pid" 2>/dev/null; do
    if [ -n "$server" ] && ! kill -0 "$server" 2>/dev/null; then
      rc=server
    elif [ $SECONDS -ge $deadline ]; then
      rc=timeout
    else
      sleep 0.5
      continue
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return
  done
  wait "$pid"
  rc=$?
}

unit_tests() {
  step "1. unit tests of the Windows build"
  local exe name log
  for exe in "$build"/tests/*_tests.exe; do
    name=$(basename "$exe")
    log="$work/unit/${name%.exe}.txt"
    echo "  \$ $name"
    run_watched "$log" env -C "$work/unit" "$WINE" "$exe"
    if [ "$rc" = server ]; then
      tr -d '\r' <"$log"
      echo "  Wine's own server ended during $name (its message is above); $name again:"
      start_session
      run_watched "$log" env -C "$work/unit" "$WINE" "$exe"
    fi
    tr -d '\r' <"$log"
    local summary
    summary=$(gtest_summary "$log")
    # A crash at exit can leave the exit code 0: the summary and the crash report count too.
    if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log" &&
      ! grep -q 'Unhandled' "$log"; then
      ok "$name: $summary"
    else
      bad "$name (exit code $rc): $summary"
    fi
  done
}

# "N passed, N skipped, N failed" from the closing lines of a test program's output.
gtest_summary() {
  local kind count text=""
  for kind in PASSED SKIPPED FAILED; do
    count=$(sed -n "s/^\[ *$kind *\] \([0-9]*\) tests\{0,1\}[.,].*/\1/p" "$1" | tail -n 1)
    text+="${text:+, }${count:-0} ${kind,,}"
  done
  echo "$text"
}

start_console() {
  (cd "$work/console" && exec "$WINE" "$PROGRAM" -d) >"$work/console/console.raw" 2>&1 &
  console_pid=$!
  background+=($console_pid)
}

# Stops the console run with SIGINT; its exit code in $rc, its console text in $out.
interrupt_console() {
  kill -INT "$console_pid"
  rc=timeout
  if within 30 eval '! kill -0 "$console_pid" 2>/dev/null'; then
    wait "$console_pid"
    rc=$?
  fi
  out=$(tr -d '\r' <"$work/console/console.raw")
  sed 's/^/  | /' <<<"$out"
}

console_mode() {
  step "2. console mode (-d)"
  local dir="$work/console" settings="$work/console/QuorvaneService.xml"
  cp "$build/src/$PROGRAM" "$dir/"
  help_and_version "$dir"
  echo "  \$ $PROGRAM -d    (no settings file beside it)"
  start_console
  expect "the default settings file appears beside the program" within 30 test -s "$settings"
  interrupt_console
  expect "the first run stops on Ctrl+C with exit code 1 (was $rc)" [ "$rc" = 1 ]
  local text
  text=$(tr -d '\r' <"$settings")
  expect "it names the server \"Quorvane Server\"" \
    contains "$text" "<server-name>Quorvane Server</server-name>"
  expect "it asks for TCP port 10300" contains "$text" "<hostport>10300</hostport>"
  expect "it asks for UDP port 10301" contains "$text" "<soundport>10301</soundport>"

  read -r host_port sound_port status_port < <("${client[@]}" free-ports 3 | tr '\n' ' ')
  sed -i "s|<hostport>10300<|<hostport>$host_port<|; s|<soundport>10301<|<soundport>$sound_port<|;
          s|<server-logging>false<|<server-logging>true<|;
          s|</hosting>|<status-port>$status_port</status-port></hosting>|" "$settings"
  echo "  settings: hostport $host_port, soundport $sound_port, server-logging true," \
    "status-port $status_port"
  echo "  \$ $PROGRAM -d"
  start_console
  expect "the server listens on TCP port $host_port" "${client[@]}" wait-listening "$host_port"
  echo "  two clients log in, join a channel and exchange messages:"
  expect "the client session" "${client[@]}" session "$host_port" "$sound_port"
  status_endpoint "http://127.0.0.1:$status_port"
  taken_ports "$dir"
}

# The status endpoint of the console run, fetched from Linux after the client session.
status_endpoint() {
  local url=$1 metrics status head
  echo "  the status endpoint on $url:"
  metrics=$(curl -s --max-time 10 "$url/metrics")
  expect "/metrics declares its families" \
    has_line "$metrics" "# TYPE quorvane_connections_accepted_total counter"
  expect "/metrics counted the session's two logins" \
    matches "$metrics" $'(^|\n)quorvane_connections_accepted_total [2-9]'
  status=$(curl -s --max-time 10 -D "$work/console/status.head" "$url/status.json")
  expect "/status.json names the server and protocol 2.1" \
    contains "$status" '{"name":"Quorvane Server","protocol":"2.1",'
  expect "/status.json may be embedded anywhere" \
    grep -qix 'Access-Control-Allow-Origin: \*' <(tr -d '\r' <"$work/console/status.head")
  head=$(curl -s --max-time 10 -I "$url/" | tr -d '\r')
  expect "HEAD / answers 200 with the page's type" \
    contains "$head" "Content-Type: text/html; charset=utf-8"
  expect "an unknown path is 404" \
    [ "$(curl -s --max-time 10 -o /dev/null -w '%{http_code}' "$url/nothing")" = 404 ]
}

# -h and -v answer with exit code 1 and start nothing.
help_and_version() {
  local dir=$1 argument
  for argument in -h --help; do
    program "$dir" "$argument" -d
    expect "$argument prints the usage" \
      matches "$out" $'^Usage: QuorvaneService \\[-c DIRECTORY\\] \\[-d \\| -f\\]\n'
    expect "$argument exits with code 1" [ "$rc" = 1 ]
  done
  for argument in -v --version; do
    program "$dir" "$argument"
    expect "$argument prints \"QuorvaneService (Quorvane Server) $version\"" \
      [ "$out" = "QuorvaneService (Quorvane Server) $version" ]
    expect "$argument exits with code 1" [ "$rc" = 1 ]
  done
  expect "nothing started: no settings file was written" [ ! -e "$dir/QuorvaneService.xml" ]
}

# A second server from the same program, with -c and a folder of its own whose settings name
# the ports of the running one: it ends at once with exit code 2 and says why.
taken_ports() {
  local dir=$1
  mkdir -p "$dir/taken"
  cp "$dir/QuorvaneService.xml" "$dir/taken/"
  program "$dir" -d -c taken
  expect "a second server on the same ports exits with code 2 (was $rc)" [ "$rc" = 2 ]
  local reason="Unable to launch server using TCP port $host_port UDP port $sound_port"
  expect "it says why on the console" \
    matches "$out" "$reason \\(TCP port $host_port: .+\\)\\."
  expect "its log lies in the folder of -c and ends with the reason" \
    grep -q "Unable to launch server using TCP port $host_port " "$dir/taken/QuorvaneService.log"
}

console_stop() {
  step "3. console control: Ctrl+C"
  local ready="$work/console/ready"
  echo "  a client logs in and waits for the end:"
  start_client hold "$host_port" "$sound_port" "$ready"
  within 60 client_settled "$ready"
  echo "  kill -INT $console_pid    (Wine delivers SIGINT to a console program as CTRL_C_EVENT)"
  interrupt_console
  expect "the process exits with code 1 (was $rc)" [ "$rc" = 1 ]
  expect "it printed \"Debugging Quorvane Server.\"" has_line "$out" "Debugging Quorvane Server."
  expect "the handler printed \"Stopping Quorvane Server.\"" \
    has_line "$out" "Stopping Quorvane Server."
  expect "the client got \"quit\" and the server closed it" wait "$client_pid"
  local log
  log=$(tr -d '\r' <"$work/console/QuorvaneService.log" 2>/dev/null)
  expect "the log lies in the current directory and tells the stop" \
    grep -q ' - Stopped Quorvane server\.$' <<<"$log"
}

# Processes of the program in this prefix: between the management commands, the service's.
service_processes() {
  local p count=0
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = QuorvaneService ] &&
      grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null && count=$((count + 1))
  done
  echo $count
}
no_service_process() { [ "$(service_processes)" -eq 0 ]; }

service_install() {
  local dir=$1 sources key="$APP_LOG\\$SERVICE"
  echo "  \"Sources\" of the Application log seeded as on Windows: Application, Other Source"
  wine_tool reg add "$APP_LOG" /v Sources /t REG_MULTI_SZ /d 'Application\0Other Source' /f \
    >/dev/null
  program "$dir" -i
  expect "-i prints \"$SERVICE installed.\"" [ "$out" = "$SERVICE installed." ]
  expect "-i exits with code 1" [ "$rc" = 1 ]
  expect "the service runs the program, quoted" \
    [ "$(reg_value "$SERVICE_KEY" ImagePath)" = "\"$service_exe\"" ]
  expect "it starts automatically (Start 0x2)" [ "$(reg_value "$SERVICE_KEY" Start)" = 0x2 ]
  expect "as LocalSystem" [ "$(reg_value "$SERVICE_KEY" ObjectName)" = LocalSystem ]
  expect "event source: EventMessageFile is the program" \
    [ "$(reg_value "$key" EventMessageFile)" = "$service_exe" ]
  expect "event source: TypesSupported 0x7" [ "$(reg_value "$key" TypesSupported)" = 0x7 ]
  sources=$(reg_value "$APP_LOG" Sources)
  expect "\"Sources\" gained the service name at its end ($sources)" \
    [ "$sources" = "Application\\0Other Source\\0$SERVICE" ]

  local before
  before=$(wine_tool reg query "$APP_LOG" /s)
  program "$dir" -i
  expect "a second -i prints \"CreateService failed - \" and the system's text" \
    matches "$out" '^CreateService failed - .+$'
  expect "a second -i exits with code 0" [ "$rc" = 0 ]
  expect "the event source is untouched" [ "$(wine_tool reg query "$APP_LOG" /s)" = "$before" ]
}

service_run() {
  local dir=$1 ready="$work/service/ready"
  program "$dir" -s
  expect "-s prints \"Starting up $SERVICE.\", then \"\\n$SERVICE started.\\n\"" \
    matches "$out" $'^Starting up Quorvane Server\\.+\nQuorvane Server started\\.$'
  expect "-s exits with code 1" [ "$rc" = 1 ]
  expect "the service process runs" [ "$(service_processes)" -eq 1 ]
  expect "the service listens on TCP port $service_host_port" \
    "${client[@]}" wait-listening "$service_host_port"
  echo "  a client logs in (voice hello on UDP port $service_sound_port) and waits for the end:"
  start_client hold "$service_host_port" "$service_sound_port" "$ready"
  within 60 client_settled "$ready"

  program "$dir" -e
  expect "-e prints \"Stopping $SERVICE.\", then \"\\n$SERVICE stopped.\\n\"" \
    matches "$out" $'^Stopping Quorvane Server\\.+\nQuorvane Server stopped\\.$'
  expect "-e exits with code 1" [ "$rc" = 1 ]
  expect "the client got \"quit\" and the server closed it" wait "$client_pid"
  expect "the service process ends" within 20 no_service_process
  local log
  log=$(find "$WINEPREFIX/drive_c/windows" -maxdepth 2 -name QuorvaneService.log | head -n 1)
  expect "the service's log lies in its working directory (${log#"$WINEPREFIX/"})" \
    grep -q ' - Stopped Quorvane server\.$' "${log:-/nonexistent}"
}

# A console server holds the service's ports: the service stops with its code instead of
# reporting RUNNING, and -s says it failed.
service_failed_start() {
  local dir=$1
  mkdir -p "$dir/holder"
  cp "$dir/QuorvaneService.xml" "$dir/holder/"
  (cd "$dir" && exec "$WINE" "$PROGRAM" -d -c holder) >"$dir/holder/console.raw" 2>&1 &
  local holder=$!
  background+=($holder)
  expect "a console server holds TCP port $service_host_port" \
    "${client[@]}" wait-listening "$service_host_port"
  program "$dir" -s
  expect "-s on taken ports prints \"\\n$SERVICE failed to start.\\n\"" \
    matches "$out" $'^Starting up Quorvane Server\\.+\nQuorvane Server failed to start\\.$'
  expect "-s exits with code 0" [ "$rc" = 0 ]
  local query
  query=$(wine_tool sc query "$SERVICE")
  sed 's/^/  | /' <<<"$query"
  expect "sc query: stopped with ERROR_SERVICE_SPECIFIC_ERROR (1066) and the code 2" \
    matches "$query" $'STATE +: 1 +STOPPED.*WIN32_EXIT_CODE +: 1066 .*SERVICE_EXIT_CODE +: 2 '
  kill -INT "$holder"
  within 30 eval '! kill -0 "$holder" 2>/dev/null'
  expect "the service process ended, and the console server with Ctrl+C" \
    within 20 no_service_process
}

service_remove() {
  local dir=$1
  program "$dir" -u
  expect "-u of the stopped service prints only \"$SERVICE removed.\"" \
    [ "$out" = "$SERVICE removed." ]
  expect "-u exits with code 1" [ "$rc" = 1 ]
  local sources
  sources=$(reg_value "$APP_LOG" Sources)
  expect "the service name is gone from \"Sources\" ($sources)" \
    [ "$sources" = 'Application\0Other Source' ]
  expect "the event source key is deleted" key_absent "$APP_LOG\\$SERVICE"
  expect "the service is deleted" within 20 key_absent "$SERVICE_KEY"

  program "$dir"
  expect "without switches the dispatcher fails: exit code 0" [ "$rc" = 0 ]

  program "$dir" -i -c 'C:\state dir'
  expect "-i -c puts the folder, quoted, on the service's command line" \
    [ "$(reg_value "$SERVICE_KEY" ImagePath)" = "\"$service_exe\" -c \"C:\\state dir\"" ]
  program "$dir" -u
  expect "-u removes it again" [ "$rc" = 1 ]
}

service_mode() {
  step "4. the service: install, start, stop, remove"
  local dir="$work/service"
  cp "$build/src/$PROGRAM" "$dir/"
  service_exe="$(wine_tool winepath -w "$dir")\\$PROGRAM"
  read -r service_host_port service_sound_port < <("${client[@]}" free-ports 2 | tr '\n' ' ')
  printf '<?xml version="1.0" ?>\n<quorvane version="1.1"><hosting>%s%s%s</hosting></quorvane>\n' \
    "<hostport>$service_host_port</hostport>" "<soundport>$service_sound_port</soundport>" \
    "<server-logging>true</server-logging>" >"$dir/QuorvaneService.xml"
  echo "  $service_exe, settings: hostport $service_host_port, soundport $service_sound_port"
  service_install "$dir"
  service_run "$dir"
  service_failed_start "$dir"
  service_remove "$dir"
}

no_crash_report() { ! grep -q 'Unhandled' "$1"; }

no_crash() {
  step "Wine session"
  expect "no Wine process crashed" no_crash_report "$work/session.txt"
  grep 'Unhandled' -A 20 "$work/session.txt"
}

started=$SECONDS
start_wine
unit_tests
console_mode
console_stop
service_mode
no_crash
step "Wine checks done in $((SECONDS - started)) s"
echo "windows: $passed passed, $failed failed"
[ $failed -eq 0 ]
