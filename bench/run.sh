#!/usr/bin/env bash
# Runs the benchmarks side by side with their peers and writes a markdown table to
# bench/results/<date>.md. Traffic stays on loopback; every step is bounded in time; every
# process started here is stopped here, by its id.
#
# The servers under test run pinned to one CPU and the load generator to the other, so results do
# not depend on where the scheduler puts them. Ratios against the peers measured in the same run
# are what compare across runs; absolute figures do not.
#
# Environment (all optional):
#   BENCH_BIN      directory with idload and the servers (default build/bench/bench)
#   BENCH_SECONDS  length of one measurement (default 4)
#   BENCH_ROUNDS   measurements per point, the best is kept (default 2)
#   BENCH_BACKLOG  listen backlog of every server in the run (default 1024, so that the kernel's
#                  accept queue is not what is measured; one extra row shows the program's 15)
#   BENCH_SCALE    idle connections of the scale test (default 5000)
#   BENCH_BULK_MB  size of each bulk transfer in MiB (default 1024)
#   BENCH_OUT      result file (default bench/results/<date>.md)
#   BENCH_LIMIT    hard limit of the whole run in seconds (default 900)
#   BENCH_PROGRAM  the program to measure on port 100 last, when the port is free
#                  (default build/bench/app/testserver; "none" skips it)
#   BENCH_SECTIONS the sections to run, of: service line bulk scale tls program (default all)
#   BENCH_TLS_BULK_MB size of each TLS bulk transfer in MiB (default 512)
#   BENCH_BASELINE directory with id_test_server and id_line_server of an earlier build, measured
#                  in the same run as id_base, id_line_base and id_scale_base (before/after)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=${BENCH_BIN:-$ROOT/build/bench/bench}
SECS=${BENCH_SECONDS:-4}
ROUNDS=${BENCH_ROUNDS:-2}
BACKLOG=${BENCH_BACKLOG:-1024}
SCALE_N=${BENCH_SCALE:-5000}
OUT=${BENCH_OUT:-$ROOT/bench/results/$(date +%F).md}
LIMIT=${BENCH_LIMIT:-900}
PROGRAM=${BENCH_PROGRAM:-$ROOT/build/bench/app/testserver}
BASE=${BENCH_BASELINE:-}
HAVE_BASE=""
[ -n "$BASE" ] && [ -x "$BASE/id_test_server" ] && [ -x "$BASE/id_line_server" ] && HAVE_BASE=1
CLK_TCK=$(getconf CLK_TCK)
BULK_BYTES=$((${BENCH_BULK_MB:-1024} * 1024 * 1024))
TLS_BULK_BYTES=$((${BENCH_TLS_BULK_MB:-512} * 1024 * 1024))
TLS_SUITE=TLS_AES_128_GCM_SHA256

bash "$ROOT/bench/install-deps"
for tool in idload bare_test_server bare_line_server; do
  [ -x "$BIN/$tool" ] || { echo "bench: $BIN/$tool missing; build the bench preset first" >&2; exit 1; }
done
HAVE_ID=""
[ -x "$BIN/id_test_server" ] && [ -x "$BIN/id_line_server" ] && HAVE_ID=1

# Server on the last CPU, load generator on the first; on one CPU nothing is pinned.
SRV=()
LOADCPU=()
LOADCPU_TASKSET=()
if [ "$(nproc)" -ge 2 ]; then
  SRV=(taskset -c "$(($(nproc) - 1))")
  LOADCPU=(--cpu 0)
  LOADCPU_TASKSET=(taskset -c 0)
fi
ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" -gt $((SCALE_N + 200)) ] || SCALE_N=$(($(ulimit -n) - 200))

TMP=$(mktemp -d /tmp/idbench.XXXXXX)
STARTED=()
declare -A PID PORT

stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local pid
  for pid in "${STARTED[@]}"; do stop_pid "$pid"; done
  [ -n "${WATCHDOG:-}" ] && kill -TERM "$WATCHDOG" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'echo "bench: stopped" >&2; exit 130' INT TERM

# The run ends by itself: the watchdog stops this script after LIMIT seconds.
bash -c 'sleep "$1" & s=$!; trap "kill $s; exit 0" TERM; wait $s; kill -TERM "$2"' _ "$LIMIT" $$ &
WATCHDOG=$!

say() { echo "bench: $*" >&2; }

# wait_for FILE REGEX SECONDS: true once a line of FILE matches.
wait_for() {
  local i
  for i in $(seq $(($3 * 20))); do
    grep -qE "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

listening() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }

# wait_for_port PORT SECONDS: true once something listens there (without connecting to it).
wait_for_port() {
  local i
  for i in $(seq $(($2 * 20))); do
    listening "$1" && return 0
    sleep 0.05
  done
  return 1
}

free_port() { "$BIN/idload" --free-port | sed -n 's/^port=//p'; }

# start_server NAME CMD...: starts a server that prints port=N, pinned, and records PID and PORT.
start_server() {
  local name=$1
  shift
  "${SRV[@]}" "$@" >"$TMP/$name.out" 2>"$TMP/$name.err" &
  PID[$name]=$!
  STARTED+=("$!")
  if ! wait_for "$TMP/$name.out" '^port=' 10; then
    say "$name did not start: $(head -c 500 "$TMP/$name.err")"
    return 1
  fi
  PORT[$name]=$(sed -n 's/^port=//p' "$TMP/$name.out" | head -1)
}

stop_server() { stop_pid "${PID[$1]}"; }

start_nginx() {
  local port
  port=$(free_port)
  mkdir -p "$TMP/nginx"
  cat >"$TMP/nginx/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
daemon off;
worker_processes 1;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx/error.log warn;
events { worker_connections 16384; }
stream {
  server {
    listen 127.0.0.1:$port backlog=$BACKLOG;
    return "test";
  }
}
EOF
  "${SRV[@]}" nginx -p "$TMP/nginx" -e "$TMP/nginx/error.log" -c "$TMP/nginx/nginx.conf" \
    >"$TMP/nginx.out" 2>"$TMP/nginx.err" &
  PID[nginx]=$!
  STARTED+=("$!")
  PORT[nginx]=$port
  wait_for_port "$port" 10 || { say "nginx did not start: $(cat "$TMP/nginx.err")"; return 1; }
}

# CPU ticks of a process and its children (nginx's worker), dead threads included.
cpu_ticks() {
  local total=0 p
  for p in $1 $(pgrep -P "$1" || true); do
    [ -r "/proc/$p/stat" ] || continue
    total=$((total + $(sed 's/.*) //' "/proc/$p/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}

rss_kb() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }

listen_overflows() {
  awk '/^TcpExt:/ { if (!c) { for (i = 1; i <= NF; i++) if ($i == "ListenOverflows") c = i; next }
                    print $c; exit }' /proc/net/netstat
}

kv() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
# kvn KEY LINE: a numeric fact, 0 when the line lacks it (a failed idload run).
kvn() {
  local v
  v=$(kv "$1" "$2")
  echo "${v:-0}"
}

# measure SECTION NAME MODE CONC: one idload run against server NAME; appends one record:
# section name conc rate ok failures p50 p90 p99 max cpu_us_per_op listen_drops client_cpu_s
measure() {
  local section=$1 name=$2 mode=$3 conc=$4 t0 t1 d0 d1 line ok fails cpu
  d0=$(listen_overflows)
  t0=$(cpu_ticks "${PID[$name]}")
  line=$("$BIN/idload" --port "${PORT[$name]}" --mode "$mode" --concurrency "$conc" \
    --duration "$SECS" "${LOADCPU[@]}" || true)
  t1=$(cpu_ticks "${PID[$name]}")
  d1=$(listen_overflows)
  ok=$(kvn ok "$line")
  fails=$(($(kvn refused "$line") + $(kvn reset "$line") + $(kvn wrong "$line") +
    $(kvn timeout "$line") + $(kvn closed "$line") + $(kvn other "$line")))
  cpu=$(awk -v t=$((t1 - t0)) -v hz="$CLK_TCK" -v n="$ok" 'BEGIN { printf "%.1f", n ? t * 1e6 / hz / n : 0 }')
  echo "$section $name $conc $(kv rate "$line") $ok $fails $(kv p50_us "$line") $(kv p90_us "$line")" \
    "$(kv p99_us "$line") $(kv max_us "$line") $cpu $((d1 - d0)) $(kv client_cpu_s "$line")" >>"$TMP/records"
  say "$section $name c=$conc: $(kv rate "$line")/s, ${cpu} us cpu/op, p99 $(kv p99_us "$line") us, $fails failed"
}

warm_up() {
  "$BIN/idload" --port "${PORT[$1]}" --mode "$2" --concurrency 8 --duration 1 "${LOADCPU[@]}" \
    >/dev/null || true
}

# Servers take turns at every point, so slow phases of a noisy machine hit them all alike.
run_section() {
  local section=$1 mode=$2 concs=$3 servers=$4 conc round name
  for name in $servers; do warm_up "$name" "$mode"; done
  for conc in $concs; do
    for round in $(seq "$ROUNDS"); do
      for name in $servers; do measure "$section" "$name" "$mode" "$conc"; done
    done
  done
}

section_service() {
  local servers="bare"
  start_server bare "$BIN/bare_test_server" --backlog "$BACKLOG"
  if start_nginx; then servers="$servers nginx"; fi
  if [ -n "$HAVE_ID" ] && start_server id "$BIN/id_test_server" --port 0 --backlog "$BACKLOG"; then
    servers="$servers id"
  fi
  if [ -n "$HAVE_BASE" ] && start_server id_base "$BASE/id_test_server" --port 0 --backlog "$BACKLOG"; then
    servers="$servers id_base"
  fi
  run_section service close "1 8 32 128" "$servers"
  for name in $servers; do stop_server "$name"; done
  # The program's own listen queue of 15: how the same bare server fares with it.
  if start_server bare15 "$BIN/bare_test_server" --backlog 15; then
    measure service bare15 close 32
    measure service bare15 close 128
    stop_server bare15
  fi
}

section_line() {
  local servers="bare_line"
  start_server bare_line "$BIN/bare_line_server" --backlog "$BACKLOG"
  if [ -n "$HAVE_ID" ] && start_server id_line "$BIN/id_line_server" --port 0 --backlog "$BACKLOG"; then
    servers="$servers id_line"
  fi
  if [ -n "$HAVE_BASE" ] &&
    start_server id_line_base "$BASE/id_line_server" --port 0 --backlog "$BACKLOG"; then
    servers="$servers id_line_base"
  fi
  run_section line line "1 8 32" "$servers"
  for name in $servers; do stop_server "$name"; done
}

# scale NAME CMD...: SCALE_N connections served once and then idle, blocked in a line read on the
# server; RSS per connection, time until all were served, time the server takes to end them all.
scale_one() {
  local name=$1 rss0 rss1 loader line stop threads window
  shift
  start_server "$name" "$@" --backlog "$BACKLOG" || return 0
  rss0=$(rss_kb "${PID[$name]}")
  window=$((BACKLOG < 64 ? BACKLOG : 64))
  "$BIN/idload" --port "${PORT[$name]}" --mode hold --concurrency "$SCALE_N" --window "$window" \
    --hold 120 --timeout-ms 20000 "${LOADCPU[@]}" >"$TMP/$name.hold" &
  loader=$!
  STARTED+=("$loader")
  if ! wait_for "$TMP/$name.hold" '^ready=' 100; then
    say "scale $name: connections not all served"
  fi
  rss1=$(rss_kb "${PID[$name]}")
  threads=$(awk '/^Threads:/{print $2}' "/proc/${PID[$name]}/status")
  kill -TERM "${PID[$name]}"
  wait_for "$TMP/$name.out" '^stop_ms=' 30 || say "scale $name: no stop time reported"
  wait_for "$TMP/$name.hold" '^mode=' 30 || true
  stop_pid "$loader"
  stop_server "$name"
  line=$(grep '^mode=' "$TMP/$name.hold" || echo " ")
  stop=$(sed -n 's/^stop_ms=//p' "$TMP/$name.out" | head -1)
  echo "scale $name $SCALE_N $(kv ready "$line") $(kv ready_ms "$line") ${stop:-NA}" \
    "$(awk -v a="$rss0" -v b="$rss1" -v n="$SCALE_N" 'BEGIN { printf "%.1f", (b - a) / n }')" \
    "$threads $(kv closed_by_peer "$line")" >>"$TMP/records"
  say "scale $name: $(tail -1 "$TMP/records")"
}

section_scale() {
  scale_one bare_scale "$BIN/bare_line_server"
  [ -n "$HAVE_ID" ] && scale_one id_scale "$BIN/id_line_server" --port 0
  [ -n "$HAVE_BASE" ] && scale_one id_scale_base "$BASE/id_line_server" --port 0
  return 0
}

# Bulk reference: iperf3, one stream over loopback, pinned like the others.
bulk_iperf() {
  local port gbits
  port=$(free_port)
  "${SRV[@]}" iperf3 -s -1 -B 127.0.0.1 -p "$port" >"$TMP/iperf-server.out" 2>&1 &
  PID[iperf]=$!
  STARTED+=("$!")
  wait_for_port "$port" 10 || { say "iperf3 server did not start"; return 0; }
  "${LOADCPU_TASKSET[@]}" iperf3 -c 127.0.0.1 -p "$port" -t "$SECS" -f g >"$TMP/iperf.out" 2>&1 || true
  stop_server iperf
  # The receiver's summary line: "... 10.0 GBytes 21.4 Gbits/sec  receiver".
  gbits=$(awk '/receiver/ { for (i = 2; i <= NF; i++) if ($i == "Gbits/sec") print $(i - 1) }' "$TMP/iperf.out")
  echo "bulk iperf3 ${gbits:-NA}" >>"$TMP/records"
  say "bulk iperf3: $(tail -1 "$TMP/records")"
}

# The best of ROUNDS runs of one bulk transfer tool, recorded as "bulk <mode> <Gbit/s>".
bulk_best_of() {
  local mode=$1 tool=$2 line best="" gbits round
  shift 2
  for round in $(seq "$ROUNDS"); do
    line=$("$BIN/$tool" "$@" --bytes "$BULK_BYTES" --server-cpu "$(($(nproc) - 1))" \
      --client-cpu 0 --timeout 120 2>"$TMP/bulk.err" | grep '^mode=' || true)
    say "bulk $mode: ${line:-failed: $(head -c 300 "$TMP/bulk.err")}"
    gbits=$(kv gbit_s " $line")
    [ -n "$gbits" ] || continue
    if [ -z "$best" ] || awk -v a="$gbits" -v b="$best" 'BEGIN { exit !(a > b) }'; then
      best=$gbits
    fi
  done
  echo "bulk $mode ${best}" >>"$TMP/records"
}

bulk_id() {
  local mode file="$TMP/bulk.bin"
  [ -x "$BIN/id_bulk" ] || return 0
  head -c "$BULK_BYTES" /dev/zero >"$file"
  for mode in write-stream send-file read-until-closed read-available; do
    bulk_best_of "$mode" id_bulk --mode "$mode" --file "$file"
  done
  rm -f "$file"
}

# What keeping every byte in one string costs without the framework.
bulk_bare_reader() {
  [ -x "$BIN/bare_bulk_reader" ] || return 0
  bulk_best_of bare-read-into-string bare_bulk_reader
}

section_bulk() {
  bulk_iperf
  bulk_id
  bulk_bare_reader
}

# ---- TLS: the framework's TLS server against nginx's stream module with ssl ----------------
# Same certificate (RSA 2048, made here for this run), TLS 1.3 only, one cipher suite, no session
# resumption on either side (every handshake is a full one), one nginx worker; servers pinned as
# above, tls_load (OpenSSL) on the other CPU.

tls_cert() {
  mkdir -p "$TMP/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$TMP/tls/key.pem" -out "$TMP/tls/cert.pem" 2>/dev/null
}

# nginx with two ssl servers: "test" then close, and a proxy to a plain upstream that sends
# TLS_BULK_BYTES (tls_load --mode source, on the load CPU so that it costs the server nothing).
start_nginx_tls() {
  local hello bulk
  start_server tls_source "${LOADCPU_TASKSET[@]}" "$BIN/tls_load" --mode source --bytes "$TLS_BULK_BYTES" || return 1
  hello=$(free_port)
  bulk=$(free_port)
  mkdir -p "$TMP/nginx-tls"
  cat >"$TMP/nginx-tls/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
daemon off;
worker_processes 1;
pid $TMP/nginx-tls/nginx.pid;
error_log $TMP/nginx-tls/error.log warn;
events { worker_connections 16384; }
stream {
  ssl_certificate $TMP/tls/cert.pem;
  ssl_certificate_key $TMP/tls/key.pem;
  ssl_protocols TLSv1.3;
  ssl_conf_command Ciphersuites $TLS_SUITE;
  ssl_session_cache off;
  ssl_session_tickets off;
  server {
    listen 127.0.0.1:$hello ssl backlog=$BACKLOG;
    return "test";
  }
  server {
    listen 127.0.0.1:$bulk ssl;
    proxy_pass 127.0.0.1:${PORT[tls_source]};
    proxy_buffer_size 64k;
  }
}
EOF
  "${SRV[@]}" nginx -p "$TMP/nginx-tls" -e "$TMP/nginx-tls/error.log" -c "$TMP/nginx-tls/nginx.conf" \
    >"$TMP/nginx-tls.out" 2>"$TMP/nginx-tls.err" &
  PID[nginx_tls]=$!
  STARTED+=("$!")
  PORT[nginx_tls]=$hello
  PID[nginx_tls_bulk]=$!
  PORT[nginx_tls_bulk]=$bulk
  wait_for_port "$hello" 10 || { say "nginx (tls) did not start: $(cat "$TMP/nginx-tls.err")"; return 1; }
}

# measure_tls NAME CONC: full handshakes per second against server NAME; one record as measure.
measure_tls() {
  local name=$1 conc=$2 t0 t1 line ok fails cpu
  t0=$(cpu_ticks "${PID[$name]}")
  line=$("$BIN/tls_load" --mode handshakes --port "${PORT[$name]}" --concurrency "$conc" \
    --duration "$SECS" --ciphersuites "$TLS_SUITE" "${LOADCPU[@]}" || true)
  t1=$(cpu_ticks "${PID[$name]}")
  ok=$(kvn ok "$line")
  fails=$(kvn failed "$line")
  cpu=$(awk -v t=$((t1 - t0)) -v hz="$CLK_TCK" -v n="$ok" 'BEGIN { printf "%.1f", n ? t * 1e6 / hz / n : 0 }')
  echo "tls $name $conc $(kv rate "$line") $ok $fails – – – – $cpu – –" >>"$TMP/records"
  say "tls $name c=$conc: $(kv rate "$line") handshakes/s, ${cpu} us cpu/handshake, $fails failed"
}

# bulk_tls NAME: the best of ROUNDS bulk transfers from server NAME, with the server's CPU time
# per GiB; recorded as "tlsbulk NAME Gbit/s cpu_s_per_GiB".
bulk_tls() {
  local name=$1 round line gbits best="" t0 t1 cpu bestcpu=""
  for round in $(seq "$ROUNDS"); do
    t0=$(cpu_ticks "${PID[$name]}")
    line=$(timeout 120 "$BIN/tls_load" --mode bulk --port "${PORT[$name]}" --bytes "$TLS_BULK_BYTES" \
      --ciphersuites "$TLS_SUITE" "${LOADCPU[@]}" 2>"$TMP/tls-bulk.err" || true)
    t1=$(cpu_ticks "${PID[$name]}")
    gbits=$(kv gbit_s " $line")
    cpu=$(awk -v t=$((t1 - t0)) -v hz="$CLK_TCK" -v b="$TLS_BULK_BYTES" 'BEGIN { printf "%.3f", t / hz / (b / 1073741824) }')
    say "tls bulk $name: ${line:-failed: $(head -c 300 "$TMP/tls-bulk.err")}, ${cpu} s cpu/GiB"
    [ -n "$gbits" ] || continue
    if [ -z "$best" ] || awk -v a="$gbits" -v b="$best" 'BEGIN { exit !(a > b) }'; then
      best=$gbits
      bestcpu=$cpu
    fi
  done
  echo "tlsbulk $name ${best:-NA} ${bestcpu:-NA}" >>"$TMP/records"
}

section_tls() {
  [ -x "$BIN/id_tls_server" ] && [ -x "$BIN/tls_load" ] || { say "tls: no TLS build"; return 0; }
  tls_cert
  local servers=""
  if start_nginx_tls; then servers="nginx_tls"; fi
  local tls_args=(--cert "$TMP/tls/cert.pem" --key "$TMP/tls/key.pem" --ciphersuites "$TLS_SUITE")
  if start_server id_tls "$BIN/id_tls_server" "${tls_args[@]}" --port 0 --backlog "$BACKLOG"; then
    servers="$servers id_tls"
  fi
  start_server id_tls_bulk "$BIN/id_tls_server" "${tls_args[@]}" --mode bulk \
    --bytes "$TLS_BULK_BYTES" --port 0 || true
  local conc round name
  for name in $servers; do
    "$BIN/tls_load" --mode handshakes --port "${PORT[$name]}" --concurrency 8 --duration 1 \
      "${LOADCPU[@]}" >/dev/null || true
  done
  for conc in 8 32; do
    for round in $(seq "$ROUNDS"); do
      for name in $servers; do measure_tls "$name" "$conc"; done
    done
  done
  [ -n "${PORT[nginx_tls_bulk]:-}" ] && bulk_tls nginx_tls_bulk
  [ -n "${PORT[id_tls_bulk]:-}" ] && bulk_tls id_tls_bulk
  for name in nginx_tls id_tls id_tls_bulk tls_source; do
    [ -n "${PID[$name]:-}" ] && stop_server "$name"
  done
  return 0
}

# The real program on port 100, last, only when the port is free and it can bind there.
section_program() {
  [ -x "$PROGRAM" ] || return 0
  if listening 100; then
    say "port 100 is taken: the program is not measured"
    return 0
  fi
  "${SRV[@]}" "$PROGRAM" >"$TMP/program.out" 2>&1 &
  PID[program]=$!
  STARTED+=("$!")
  PORT[program]=100
  if ! wait_for_port 100 10; then
    say "the program did not listen on port 100: $(head -c 300 "$TMP/program.out")"
    stop_server program
    return 0
  fi
  run_section program close "1 8 32 128" "program"
  stop_server program
}

# ---- the report -------------------------------------------------------------------------------

machine_line() {
  local cpu
  cpu=$(awk -F': *' '/^model name/{print $2; exit}' /proc/cpuinfo)
  echo "$cpu, $(nproc) CPUs, $(awk '/MemTotal/{printf "%.0f GiB", $2/1048576}' /proc/meminfo)," \
    "Linux $(uname -r), $(g++ --version | head -1), $(nginx -v 2>&1 | sed 's/.*: //'), $(iperf3 --version | head -1 | cut -d' ' -f1-2)"
}

# best SECTION NAME CONC: the record with the highest rate among the rounds.
best() {
  awk -v s="$1" -v n="$2" -v c="$3" '$1 == s && $2 == n && $3 == c && $4 + 0 >= b { b = $4 + 0; r = $0 }
    END { print r }' "$TMP/records"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "–"; else printf "%.2f", a / b }'; }

table_rates() {
  local section=$1 concs=$2 servers=$3 ref=$4 unit=$5 conc name r b
  echo "| concurrency | server | $unit | × $ref | server CPU µs/op | × $ref | p50 µs | p90 µs | p99 µs | max µs | failed | listen overflows | client CPU s |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for conc in $concs; do
    b=$(best "$section" "$ref" "$conc")
    for name in $servers; do
      r=$(best "$section" "$name" "$conc")
      [ -n "$r" ] || continue
      read -r _ _ _ rate ok fails p50 p90 p99 max cpu drops ccpu <<<"$r"
      echo "| $conc | $name | ${rate%.*} | $(ratio "$rate" "$(cut -d' ' -f4 <<<"$b")") | $cpu |" \
        "$(ratio "$cpu" "$(cut -d' ' -f11 <<<"$b")") | $p50 | $p90 | $p99 | $max | $fails | $drops | $ccpu |"
    done
  done
}

write_report() {
  local service_servers="bare nginx id id_base program" line_servers="bare_line id_line id_line_base"
  mkdir -p "$(dirname "$OUT")"
  {
    echo "# Benchmarks of $(date '+%F %H:%M')"
    echo
    echo "Machine: $(machine_line)."
    echo "Binaries: \`${BIN#"$ROOT"/}\` ($(grep -s '^CMAKE_BUILD_TYPE' "$BIN/../CMakeCache.txt" | cut -d= -f2 || true))."
    echo "Load average at start $LOAD_START, at end $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine makes every figure noisy; compare ratios within this run)."
    echo "Servers pinned with \`${SRV[*]:-nothing}\`, idload with \`${LOADCPU[*]:-nothing}\`; listen backlog $BACKLOG for every server; each point is the best of $ROUNDS runs of $SECS s, servers taking turns."
    echo "bare: thread per connection without the framework; bare15: the same with the program's listen queue of 15; nginx: stream module \`return \"test\";\`, one worker; id: the framework's server; program: the real program on port 100 (its own listen queue)."
    [ -n "$HAVE_BASE" ] && echo "*_base: the same framework servers built from \`$BASE\` (the earlier build), measured in the same run."
    echo
    echo "## Connect, read \"test\", closed by the server"
    echo
    table_rates service "1 8 32 128" "$service_servers bare15" bare "conn/s"
    table_rates program "1 8 32 128" "program" bare "conn/s" | tail -n +3
    echo
    echo "## Line protocol: PING answered by 200, persistent connections"
    echo
    table_rates line "1 8 32" "$line_servers" bare_line "req/s"
    echo
    echo "## Bulk, $((BULK_BYTES >> 20)) MiB over loopback"
    echo
    echo "| transfer | Gbit/s | × iperf3 |"
    echo "|---|---:|---:|"
    local ip
    ip=$(awk '$1 == "bulk" && $2 == "iperf3" { print $3 }' "$TMP/records")
    awk -v ip="$ip" '$1 == "bulk" { printf "| %s | %s | %s |\n", $2, $3, (ip + 0 && $3 != "") ? sprintf("%.2f", $3 / ip) : "–" }' "$TMP/records"
    echo
    local bare_reader until_closed
    bare_reader=$(awk '$1 == "bulk" && $2 == "bare-read-into-string" { print $3 }' "$TMP/records")
    until_closed=$(awk '$1 == "bulk" && $2 == "read-until-closed" { print $3 }' "$TMP/records")
    if [ -n "$bare_reader" ] && [ -n "$until_closed" ]; then
      echo "read-until-closed × bare-read-into-string: $(awk -v a="$until_closed" -v b="$bare_reader" 'BEGIN { printf "%.2f", b + 0 ? a / b : 0 }')"
      echo
    fi
    echo
    echo "write-stream sends a filled memory stream; read-until-closed keeps all of it in one growing string, so page faults of fresh memory weigh in (on a virtual machine they can dominate); bare-read-into-string does the same with recv and std::string::append and no framework; read-available drops each piece."
    echo
    echo "## Scale: $SCALE_N idle connections, server threads blocked in a line read"
    echo
    echo "| server | connections served | time to serve all ms | time to end all ms | RSS KB/conn | threads | closed by server |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    awk '$1 == "scale" { printf "| %s | %s | %s | %s | %s | %s | %s |\n", $2, $4, $5, $6, $7, $8, $9 }' "$TMP/records"
    echo
    if grep -q '^tls' "$TMP/records"; then
      echo "## TLS: full handshakes (TLS 1.3, $TLS_SUITE, RSA 2048, no resumption), \"test\", close"
      echo
      table_rates tls "8 32" "nginx_tls id_tls" nginx_tls "handshakes/s"
      echo
      echo "## TLS bulk: $((TLS_BULK_BYTES >> 20)) MiB from the server over one TLS connection"
      echo
      echo "| server | Gbit/s | × nginx | server CPU s/GiB |"
      echo "|---|---:|---:|---:|"
      local nb
      nb=$(awk '$1 == "tlsbulk" && $2 == "nginx_tls_bulk" { print $3 }' "$TMP/records")
      awk -v nb="$nb" '$1 == "tlsbulk" { printf "| %s | %s | %s | %s |\n", $2, $3, (nb + 0 && $3 + 0) ? sprintf("%.2f", $3 / nb) : "–", $4 }' "$TMP/records"
      echo
      echo "nginx_tls: stream module, \`ssl\`, one worker, \`return \"test\"\` for handshakes; for bulk it proxies a plain upstream (tls_load --mode source, on the load CPU) with proxy_buffer_size 64k, so its CPU includes receiving from the upstream. id_tls: the framework's TIdServerIOHandlerTLS (id_tls_server), peer thread per connection, the same certificate and cipher suite, session tickets and cache off; bulk writes 1 MiB blocks through the connection."
      echo
    fi
    echo "## Latency of the service (p99 µs)"
    echo
    echo "| server | c=1 | × bare | c=128 | × bare |"
    echo "|---|---:|---:|---:|---:|"
    local name r1 r128 b1 b128
    b1=$(best service bare 1 | cut -d' ' -f9)
    b128=$(best service bare 128 | cut -d' ' -f9)
    for name in $service_servers; do
      local sec=service
      [ "$name" = program ] && sec=program
      r1=$(best "$sec" "$name" 1 | cut -d' ' -f9)
      r128=$(best "$sec" "$name" 128 | cut -d' ' -f9)
      [ -n "$r1" ] || continue
      echo "| $name | $r1 | $(ratio "$r1" "$b1") | $r128 | $(ratio "$r128" "$b128") |"
    done
  } >"$OUT"
  say "results written to $OUT"
}

LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$TMP/records"
for section in ${BENCH_SECTIONS:-service line bulk scale tls program}; do
  case $section in
  service | line | bulk | scale | tls | program) "section_$section" ;;
  *) say "unknown section $section" && exit 2 ;;
  esac
done
write_report
cat "$OUT"
