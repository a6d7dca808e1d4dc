#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the benchmarks side by side with their peers and writes a markdown table to
# bench/results/<date>.md. Traffic stays on loopback; every step is bounded in time; every
# process started here is stopped here, by its id.
#
# The servers under test run pinned to one CPU and the load generator to the other, so results do
# not depend on where the scheduler puts them. Ratios against the peers measured in the same run
# are what compare across runs; absolute figures do not.
#
# The peers of the "test" service (connect, read "test", closed by the server): nginx (stream
# return, one worker), a single-thread epoll server (bare_epoll), POCO's TCPServer with default
# parameters (poco) and with a pool of 64 threads (poco64), and the bare thread-per-connection
# servers with the default 8 MiB stack (bare8m) and a 64 KiB stack (bare64k). Each row has its
# ratios against nginx and against the best bare thread-per-connection server at that concurrency
# (the lowest CPU per connection of bare8m and bare64k). The line protocol has the same set, minus
# nginx and the default POCO server, with the epoll server as the reference.
#
# With the defaults a full run takes about 10 minutes (11 with BENCH_BASELINE): the service has 7
# servers (8) x 4 concurrencies x ROUNDS x SECS, about 4.8 minutes; the line protocol 5 (6) x 3 x
# ROUNDS x SECS, about 2.5; bulk, scale, hostile, TLS and the program about 2.8 together. The run
# says its own estimate when it starts (see estimate) and how long it took.
#
# Environment (all optional):
#   BENCH_BIN      directory with idload and the servers (default build/bench/bench)
#   BENCH_SECONDS  length of one measurement (default 4)
#   BENCH_ROUNDS   measurements per point, the one with the highest rate is kept (default 2)
#   BENCH_BACKLOG  listen backlog of every server in the run (default 1024, so that the kernel's
#                  accept queue is not what is measured; one extra row shows the program's 15)
#   BENCH_SCALE    idle connections of the scale test (default 5000)
#   BENCH_BULK_MB  size of each bulk transfer in MiB (default 1024)
#   BENCH_OUT      result file (default bench/results/<date>.md)
#   BENCH_LIMIT    hard limit of the whole run in seconds (default 900)
#   BENCH_PROGRAM  the program to measure on port 100 last, when the port is free
#                  (default build/bench/app/testserver; "none" skips it)
#   BENCH_SECTIONS the sections to run, of: service line bulk scale limits hostile tls program
#                  (default all)
#   BENCH_DEPS     0: do not run bench/install-deps (the peers that are missing are left out)
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

[ "${BENCH_DEPS:-1}" = 0 ] || bash "$ROOT/bench/install-deps"
for tool in idload bare_test_server bare_line_server bare_epoll_server; do
  [ -x "$BIN/$tool" ] || { echo "bench: $BIN/$tool missing; build the bench preset first" >&2; exit 1; }
done
HAVE_ID=""
[ -x "$BIN/id_test_server" ] && [ -x "$BIN/id_line_server" ] && HAVE_ID=1
HAVE_POCO=""
if [ -x "$BIN/poco_server" ]; then
  HAVE_POCO=1
else
  echo "bench: $BIN/poco_server missing (POCO not found at configure time): no POCO rows" >&2
fi

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
# The framework refuses clients a margin short of the descriptor limit (32 and a 64th of it), so
# that it says no instead of failing at the limit: the idle clients stay below that.
SCALE_MOST=$(($(ulimit -n) - 200 - $(ulimit -n) / 64 - 32))
[ "$SCALE_MOST" -gt "$SCALE_N" ] || SCALE_N=$SCALE_MOST

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

# The bare thread-per-connection servers: the default stack (std::thread, 8 MiB on Debian) and a
# 64 KiB one. The best of them at each concurrency is the "best bare" of the table.
BARE_SERVICE="bare8m bare64k"
BARE_LINE="bare_line8m bare_line64k"

# add_server NAME CMD...: starts server NAME and appends it to SERVERS when it started.
add_server() {
  if start_server "$@"; then SERVERS="$SERVERS $1"; fi
  return 0
}

section_service() {
  local name
  SERVERS=""
  add_server bare8m "$BIN/bare_test_server" --backlog "$BACKLOG"
  add_server bare64k "$BIN/bare_test_server" --stack-kib 64 --backlog "$BACKLOG"
  add_server bare_epoll "$BIN/bare_epoll_server" --backlog "$BACKLOG"
  if start_nginx; then SERVERS="$SERVERS nginx"; fi
  if [ -n "$HAVE_POCO" ]; then
    add_server poco "$BIN/poco_server" --backlog "$BACKLOG"
    add_server poco64 "$BIN/poco_server" --threads 64 --queue "$BACKLOG" --backlog "$BACKLOG"
  fi
  [ -z "$HAVE_ID" ] || add_server id "$BIN/id_test_server" --port 0 --backlog "$BACKLOG"
  [ -z "$HAVE_BASE" ] || add_server id_base "$BASE/id_test_server" --port 0 --backlog "$BACKLOG"
  run_section service close "1 8 32 128" "$SERVERS"
  for name in $SERVERS; do stop_server "$name"; done
  # The program's own listen queue of 15: how the bare server with the default stack fares with it.
  if start_server bare15 "$BIN/bare_test_server" --backlog 15; then
    measure service bare15 close 32
    measure service bare15 close 128
    stop_server bare15
  fi
}

section_line() {
  local name
  SERVERS=""
  add_server bare_line8m "$BIN/bare_line_server" --backlog "$BACKLOG"
  add_server bare_line64k "$BIN/bare_line_server" --stack-kib 64 --backlog "$BACKLOG"
  add_server bare_line_epoll "$BIN/bare_epoll_server" --mode line --backlog "$BACKLOG"
  # Not POCO's default pool: its 16 threads would leave persistent clients beyond them waiting.
  [ -z "$HAVE_POCO" ] || add_server poco64_line "$BIN/poco_server" --mode line --threads 64 \
    --queue "$BACKLOG" --backlog "$BACKLOG"
  [ -z "$HAVE_ID" ] || add_server id_line "$BIN/id_line_server" --port 0 --backlog "$BACKLOG"
  [ -z "$HAVE_BASE" ] || add_server id_line_base "$BASE/id_line_server" --port 0 --backlog "$BACKLOG"
  run_section line line "1 8 32" "$SERVERS"
  for name in $SERVERS; do stop_server "$name"; done
}

# scale NAME CMD...: SCALE_N connections served once and then idle, blocked in a line read on the
# server; RSS per connection, time until all were served, the time a fresh client waits for its
# first reply while they are held, time the server takes to end them all (SIGTERM to exit).
scale_one() {
  local name=$1 rss0 rss1 loader line stop threads window fresh fresh_ms
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
  # One more client, served and gone at once (hold 0): ready_ms is its connect to first reply.
  fresh=$("$BIN/idload" --port "${PORT[$name]}" --mode hold --concurrency 1 --hold 0 \
    --timeout-ms 5000 "${LOADCPU[@]}" | grep '^mode=' || echo " ")
  fresh_ms=NA
  [ "$(kv ready "$fresh")" != 1 ] || fresh_ms=$(kv ready_ms "$fresh")
  kill -TERM "${PID[$name]}"
  wait_for "$TMP/$name.out" '^stop_ms=' 30 || say "scale $name: no stop time reported"
  wait_for "$TMP/$name.hold" '^mode=' 30 || true
  stop_pid "$loader"
  stop_server "$name"
  line=$(grep '^mode=' "$TMP/$name.hold" || echo " ")
  stop=$(sed -n 's/^stop_ms=//p' "$TMP/$name.out" | head -1)
  echo "scale $name $SCALE_N $(kv ready "$line") $(kv ready_ms "$line") ${stop:-NA}" \
    "$(awk -v a="$rss0" -v b="$rss1" -v n="$SCALE_N" 'BEGIN { printf "%.1f", (b - a) / n }')" \
    "$threads $(kv closed_by_peer "$line") $fresh_ms" >>"$TMP/records"
  say "scale $name: $(tail -1 "$TMP/records")"
}

section_scale() {
  scale_one bare_scale "$BIN/bare_line_server"
  [ -n "$HAVE_ID" ] && scale_one id_scale "$BIN/id_line_server" --port 0
  [ -n "$HAVE_BASE" ] && scale_one id_scale_base "$BASE/id_line_server" --port 0
  return 0
}

# The cost of the limits for hostile clients: the service with every limit on against the same
# server without them (and against the earlier build, which has no counters, with BENCH_BASELINE).
section_limits() {
  local name
  SERVERS=""
  [ -n "$HAVE_ID" ] || return 0
  add_server id "$BIN/id_test_server" --port 0 --backlog "$BACKLOG"
  add_server id_limits "$BIN/id_test_server" --port 0 --backlog "$BACKLOG" --limits
  [ -z "$HAVE_BASE" ] || add_server id_base "$BASE/id_test_server" --port 0 --backlog "$BACKLOG"
  run_section limits close "8 32" "$SERVERS"
  for name in $SERVERS; do stop_server "$name"; done
}

# Hostile clients against the time limits (hostile_clients, server and clients in one process,
# pinned like bulk): 100 drippers and 100 non-readers against a line echo server whose LineTimeout
# and WriteTimeout are 2000 ms, when each is cut, and fresh clients served meanwhile. Bounded by
# the program's own --limit-s.
section_hostile() {
  local line cpus=()
  [ -x "$BIN/hostile_clients" ] || return 0
  [ "$(nproc)" -lt 2 ] || cpus=(--server-cpu "$(($(nproc) - 1))" --client-cpu 0)
  line=$("$BIN/hostile_clients" --drippers 100 --nonreaders 100 --timeout-ms 2000 --fresh 20 \
    --limit-s 12 --backlog "$BACKLOG" "${cpus[@]}" 2>"$TMP/hostile.err" | grep '^mode=' || true)
  [ -n "$line" ] || { say "hostile: failed: $(head -c 300 "$TMP/hostile.err")"; return 0; }
  echo "hostile $line" >>"$TMP/records"
  say "hostile: $line"
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
# Same certificate (RSA 2048, made here for this run), TLS 1.3 only, one cipher suite, one nginx
# worker; servers pinned as above, tls_load (OpenSSL) on the other CPU. Full handshakes: no
# session resumption on either side. Resumed handshakes: a server of each kind with tickets on,
# and each tls_load thread offering the session of its last connection.

tls_cert() {
  mkdir -p "$TMP/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$TMP/tls/key.pem" -out "$TMP/tls/cert.pem" 2>/dev/null
}

# nginx with two ssl servers: "test" then close, and a proxy to a plain upstream that sends
# TLS_BULK_BYTES (tls_load --mode source, on the load CPU so that it costs the server nothing).
start_nginx_tls() {
  local hello bulk resume
  start_server tls_source "${LOADCPU_TASKSET[@]}" "$BIN/tls_load" --mode source --bytes "$TLS_BULK_BYTES" || return 1
  hello=$(free_port)
  bulk=$(free_port)
  resume=$(free_port)
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
  server {
    listen 127.0.0.1:$resume ssl backlog=$BACKLOG;
    ssl_session_cache shared:resume:8m;
    ssl_session_tickets on;
    return "test";
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
  PID[nginx_tls_resume]=$!
  PORT[nginx_tls_resume]=$resume
  wait_for_port "$hello" 10 || { say "nginx (tls) did not start: $(cat "$TMP/nginx-tls.err")"; return 1; }
}

# measure_tls NAME CONC [RESUME]: handshakes per second against server NAME, full ones, or with
# RESUME=1 each client thread offering its last session (recorded as section tlsresume); one
# record as measure.
measure_tls() {
  local name=$1 conc=$2 resume=${3:-0} t0 t1 line ok fails cpu section=tls
  [ "$resume" = 1 ] && section=tlsresume
  t0=$(cpu_ticks "${PID[$name]}")
  line=$("$BIN/tls_load" --mode handshakes --port "${PORT[$name]}" --concurrency "$conc" \
    --duration "$SECS" --resume "$resume" --ciphersuites "$TLS_SUITE" "${LOADCPU[@]}" || true)
  t1=$(cpu_ticks "${PID[$name]}")
  ok=$(kvn ok "$line")
  fails=$(kvn failed "$line")
  cpu=$(awk -v t=$((t1 - t0)) -v hz="$CLK_TCK" -v n="$ok" 'BEGIN { printf "%.1f", n ? t * 1e6 / hz / n : 0 }')
  echo "$section $name $conc $(kv rate "$line") $ok $fails – – – – $cpu – –" >>"$TMP/records"
  say "$section $name c=$conc: $(kv rate "$line") handshakes/s ($(kvn resumed "$line") resumed)," \
    "${cpu} us cpu/handshake, $fails failed"
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

# The framework's own TLS client (tls_client_resume), one connection after the other against
# server NAME, with full handshakes and with each offering the session of the one before;
# recorded as "tlsclient full|resumed RATE RESUMED CPU_US".
client_resume() {
  local name=$1 resume line
  [ -x "$BIN/tls_client_resume" ] || return 0
  for resume in 0 1; do
    line=$("$BIN/tls_client_resume" --port "${PORT[$name]}" --trust "$TMP/tls/cert.pem" \
      --count 2000 --resume "$resume" "${LOADCPU[@]}" 2>"$TMP/tls-client.err" || true)
    say "tls client resume=$resume: ${line:-failed: $(head -c 300 "$TMP/tls-client.err")}"
    echo "tlsclient $([ "$resume" = 1 ] && echo resumed || echo full) $(kv rate " $line") $(kv resumed " $line") $(kv cpu_us " $line")" >>"$TMP/records"
  done
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
  local resumers=""
  [ -n "${PORT[nginx_tls_resume]:-}" ] && resumers="nginx_tls_resume"
  if start_server id_tls_resume "$BIN/id_tls_server" "${tls_args[@]}" --resumption 1 --port 0 \
    --backlog "$BACKLOG"; then
    resumers="$resumers id_tls_resume"
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
      for name in $resumers; do measure_tls "$name" "$conc" 1; done
    done
  done
  [ -n "${PORT[id_tls_resume]:-}" ] && client_resume id_tls_resume
  [ -n "${PORT[nginx_tls_bulk]:-}" ] && bulk_tls nginx_tls_bulk
  [ -n "${PORT[id_tls_bulk]:-}" ] && bulk_tls id_tls_bulk
  for name in nginx_tls id_tls id_tls_resume id_tls_bulk tls_source; do
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

# The host, the kernel and the load, on top of every result file.
host_section() {
  local cpu loads
  cpu=$(awk -F': *' '/^model name/{print $2; exit}' /proc/cpuinfo)
  loads=$(awk '$1 == "load" && $2 != "end" { printf "%s%s %s %s %s", n++ ? ", " : "", $2, $3, $4, $5 }' "$TMP/records")
  echo "## Host"
  echo
  echo "- CPU: $cpu, $(nproc) CPUs available to the run ($(grep -c '^processor' /proc/cpuinfo) listed in /proc/cpuinfo), $(awk '/MemTotal/{printf "%.0f GiB", $2/1048576}' /proc/meminfo) memory."
  echo "- Kernel: Linux $(uname -r) ($(uname -m)); default thread stack (ulimit -s) $(ulimit -s) KiB."
  echo "- Load average (1, 5, 15 min): at start $LOAD_START; when each section started: ${loads:-–}; at end $(awk '$1 == "load" && $2 == "end" { print $3, $4, $5 }' "$TMP/records"). Other work on the machine makes every figure noisy; compare ratios within this run."
  echo "- Run: sections \`$SECTIONS\`, $(($(date +%s) - RUN_START)) s (estimated $EXPECTED s, limit $LIMIT s)."
  echo "- Tools: $(g++ --version | head -1), $(nginx -v 2>&1 | sed 's/.*: //'), $(iperf3 --version 2>/dev/null | head -1 | cut -d' ' -f1-2 | grep . || echo "iperf3 missing"), POCO $(dpkg-query -W -f='${Version}' libpoco-dev 2>/dev/null || echo missing)."
}

# best SECTION NAME CONC: the record with the highest rate among the rounds.
best() {
  awk -v s="$1" -v n="$2" -v c="$3" '$1 == s && $2 == n && $3 == c && $4 + 0 >= b { b = $4 + 0; r = $0 }
    END { print r }' "$TMP/records"
}

# best_bare SECTION CONC NAMES: of the servers NAMES, the one whose best record at CONC costs the
# least server CPU per operation (records without a completed operation do not count).
best_bare() {
  local section=$1 conc=$2 name r cpu winner="" least=""
  for name in $3; do
    r=$(best "$section" "$name" "$conc")
    [ -n "$r" ] || continue
    cpu=$(cut -d' ' -f11 <<<"$r")
    awk -v c="$cpu" 'BEGIN { exit !(c + 0 > 0) }' || continue
    if [ -z "$least" ] || awk -v a="$cpu" -v b="$least" 'BEGIN { exit !(a < b) }'; then
      least=$cpu
      winner=$name
    fi
  done
  echo "$winner"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "–"; else printf "%.2f", a / b }'; }

field() { cut -d' ' -f"$1" <<<"$2"; }

# has_records KIND: true when the run recorded something of that kind (a section's name).
has_records() { grep -q "^$1 " "$TMP/records"; }

# table_rates SECTION CONCS ROWS UNIT REF BARES: one row per server of ROWS (a name, or
# section:name for a server measured in another section) and concurrency, with the ratios of rate
# and CPU per operation against server REF and against the best of the servers BARES at that
# concurrency (see best_bare). An empty REF or BARES leaves its columns out.
table_rates() {
  local section=$1 concs=$2 rows=$3 unit=$4 ref=$5 bares=$6 conc row name sec r b bb head sep
  head="| concurrency | server | $unit |"
  sep="|---:|---|---:|"
  [ -z "$ref" ] || { head="$head × $ref |" && sep="$sep---:|"; }
  [ -z "$bares" ] || { head="$head × best bare |" && sep="$sep---:|"; }
  head="$head server CPU µs/op |"
  sep="$sep---:|"
  [ -z "$ref" ] || { head="$head × $ref |" && sep="$sep---:|"; }
  [ -z "$bares" ] || { head="$head × best bare |" && sep="$sep---:|"; }
  echo "$head p50 µs | p90 µs | p99 µs | max µs | failed | listen overflows | client CPU s |"
  echo "$sep---:|---:|---:|---:|---:|---:|---:|"
  for conc in $concs; do
    b=""
    bb=""
    [ -z "$ref" ] || b=$(best "$section" "$ref" "$conc")
    [ -z "$bares" ] || bb=$(best "$section" "$(best_bare "$section" "$conc" "$bares")" "$conc")
    for row in $rows; do
      sec=$section
      name=$row
      if [[ $row == *:* ]]; then
        sec=${row%%:*}
        name=${row#*:}
      fi
      r=$(best "$sec" "$name" "$conc")
      [ -n "$r" ] || continue
      read -r _ _ _ rate ok fails p50 p90 p99 max cpu drops ccpu <<<"$r"
      local line="| $conc | $name | ${rate%.*} |"
      [ -z "$ref" ] || line="$line $(ratio "$rate" "$(field 4 "$b")") |"
      [ -z "$bares" ] || line="$line $(ratio "$rate" "$(field 4 "$bb")") |"
      line="$line $cpu |"
      [ -z "$ref" ] || line="$line $(ratio "$cpu" "$(field 11 "$b")") |"
      [ -z "$bares" ] || line="$line $(ratio "$cpu" "$(field 11 "$bb")") |"
      echo "$line $p50 | $p90 | $p99 | $max | $fails | $drops | $ccpu |"
    done
  done
}

# best_bare_note SECTION CONCS BARES: which server was the best bare one at each concurrency.
best_bare_note() {
  local conc winner out=""
  for conc in $2; do
    winner=$(best_bare "$1" "$conc" "$3")
    out="$out${out:+, }c=$conc ${winner:-–}"
  done
  echo "Best bare (the least server CPU per operation of ${3// /, }): $out."
}

# The hostile section's table: its one record holds hostile_clients' facts.
hostile_report() {
  local h kind
  h=$(sed -n 's/^hostile //p' "$TMP/records" | head -1)
  echo "## Hostile clients: $(kv drippers "$h") drippers and $(kv nonreaders "$h") non-readers, LineTimeout and WriteTimeout $(kv timeout_ms "$h") ms"
  echo
  echo "| clients | cut | in time (≤ $(kv deadline_ms "$h") ms) | min ms | p50 ms | max ms | max from connect ms |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for kind in drippers nonreaders; do
    echo "| $kind | $(kv "${kind}_cut" "$h") of $(kv "$kind" "$h") | $(kv "${kind}_in_time" "$h") |" \
      "$(kv "${kind}_min_ms" "$h") | $(kv "${kind}_p50_ms" "$h") | $(kv "${kind}_max_ms" "$h") |" \
      "$(kv "${kind}_connect_max_ms" "$h") |"
  done
  echo
  echo "Fresh clients during the hold (connect to the echo of one line): $(kv fresh_ok "$h") of $(kv fresh "$h") served, p50 $(kv fresh_p50_ms "$h") ms, max $(kv fresh_max_ms "$h") ms; at least $(kv fresh_min_held "$h") hostile connections held at each. Server counters: $(kv accepted "$h") accepted, timed out: $(kv timed_out_line "$h") line, $(kv timed_out_write "$h") write, $(kv timed_out_idle "$h") idle, $(kv timed_out_read "$h") read. Verdict (all cut in time, every fresh client within 10 ms with all held): $([ "$(kv pass "$h")" = 1 ] && echo pass || echo FAIL)."
  echo
  echo "The server echoes each line. Non-readers flood lines of 16000 bytes and never read; the hold begins once every one of their echoes has blocked on the server (after $(kv blocked_after_ms "$h") ms here, its send buffers having grown to some MiB), and then the drippers begin their lines, one byte every 1.5 s. Times to the cut: a dripper's from its first byte, a non-reader's from the start of the server's last send (the one that blocked). Fresh clients are spread over the hold, until 200 ms before the first cut is due."
  echo
}

write_report() {
  local service_servers="bare8m bare64k bare_epoll nginx poco poco64 id id_base program:program"
  local line_servers="bare_line8m bare_line64k bare_line_epoll poco64_line id_line id_line_base"
  mkdir -p "$(dirname "$OUT")"
  {
    echo "# Benchmarks of $(date -d "@$RUN_START" '+%F %H:%M')"
    echo
    host_section
    echo
    echo "## Setup"
    echo
    echo "Binaries: \`${BIN#"$ROOT"/}\` ($(grep -s '^CMAKE_BUILD_TYPE' "$BIN/../CMakeCache.txt" | cut -d= -f2 || true))."
    echo "Servers pinned with \`${SRV[*]:-nothing}\`, idload with \`${LOADCPU[*]:-nothing}\`; listen backlog $BACKLOG for every server; each point is the best (highest rate) of $ROUNDS runs of $SECS s, servers taking turns."
    echo
    echo "- bare8m: a new \`std::thread\` per connection with the default stack ($(ulimit -s) KiB here), no framework; bare64k: the same with 64 KiB stacks (pthread attributes); bare15: bare8m with the program's listen queue of 15."
    echo "- bare_epoll: one thread, epoll, non-blocking accept, write \"test\", close."
    echo "- nginx: stream module \`return \"test\";\`, one worker."
    echo "- poco: POCO's \`Poco::Net::TCPServer\` with default \`TCPServerParams\` and its default thread pool (at most 16 threads, 64 queued; a connection beyond the queue is closed unanswered and counts as failed); poco64: a pool of 64 threads started up front, max threads 64, max queued $BACKLOG. The handler writes \"test\" and returns."
    echo "- id: the framework's server; program: the real program on port 100 (its own listen queue), measured in its own section after the others."
    [ -z "$HAVE_BASE" ] || echo "- *_base: the same framework servers built from \`$BASE\` (the earlier build), measured in the same run."
    echo "- Line protocol: the same servers answering \"PING\" with \"200\" CR LF on persistent connections (poco64_line: the poco64 setup; POCO's default pool is left out, its 16 threads would leave the clients beyond them waiting)."
    echo "- × nginx, × bare_line_epoll: rate and server CPU per operation against that server at the same concurrency; × best bare: against the bare thread-per-connection server with the least server CPU per operation at that concurrency."
    echo
    if has_records service || has_records program; then
      echo "## Connect, read \"test\", closed by the server"
      echo
      table_rates service "1 8 32 128" "$service_servers bare15" "conn/s" nginx "$BARE_SERVICE"
      echo
      best_bare_note service "1 8 32 128" "$BARE_SERVICE"
      echo
    fi
    if has_records line; then
      echo "## Line protocol: PING answered by 200, persistent connections"
      echo
      table_rates line "1 8 32" "$line_servers" "req/s" bare_line_epoll "$BARE_LINE"
      echo
      best_bare_note line "1 8 32" "$BARE_LINE"
      echo
    fi
    if has_records bulk; then
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
    fi
    if has_records scale; then
      echo "## Scale: $SCALE_N idle connections, server threads blocked in a line read"
      echo
      echo "| server | connections served | time to serve all ms | time to end all ms | RSS KB/conn | threads | closed by server | fresh client ms |"
      echo "|---|---:|---:|---:|---:|---:|---:|---:|"
      awk '$1 == "scale" { printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $2, $4, $5, $6, $7, $8, $9, $10 }' "$TMP/records"
      echo
      echo "Time to end all: SIGTERM to the end of the server's deactivation. Fresh client: connect until the first reply of one more client while all are held."
      echo
    fi
    if has_records limits; then
      echo "## The limits for hostile clients: connect, read \"test\", closed, with every limit on and off"
      echo
      table_rates limits "8 32" "id id_limits id_base" "conn/s" id ""
      echo
      echo "id_limits: per-address limit, write, line and idle time limits on; counters are always on (id_base, the earlier build, has none)."
      echo
    fi
    if has_records hostile; then
      hostile_report
    fi
    if has_records tls; then
      echo "## TLS: full handshakes (TLS 1.3, $TLS_SUITE, RSA 2048, no resumption), \"test\", close"
      echo
      table_rates tls "8 32" "nginx_tls id_tls" "handshakes/s" nginx_tls ""
      echo
      if has_records tlsresume; then
        echo "## TLS: resumed handshakes (each client thread offers the session of its last connection)"
        echo
        table_rates tlsresume "8 32" "nginx_tls_resume id_tls_resume" "handshakes/s" nginx_tls_resume ""
        echo
        echo "nginx_tls_resume: as nginx_tls with tickets and a shared session cache; id_tls_resume: id_tls with resumption on (its default: cache and tickets)."
        echo
      fi
      if has_records tlsclient; then
        echo "## TLS: the framework's client, one connection after the other, full and resumed"
        echo
        echo "| handshakes | per second | resumed of 2000 | client CPU µs each |"
        echo "|---|---:|---:|---:|"
        awk '$1 == "tlsclient" { printf "| %s | %s | %s | %s |\n", $2, $3, $4, $5 }' "$TMP/records"
        echo
        echo "tls_client_resume against id_tls_resume: TIdTCPClient over TIdIOHandlerTLS, a handshake, the server's \"test\", its close; resumed: each connection offers the session of the one before (SetOfferedSession). Client CPU includes the client's whole process."
        echo
      fi
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
    if has_records service; then
      echo "## Latency of the service (µs)"
      echo
      echo "| server | p50 c=1 | p99 c=1 | p99 × nginx | p50 c=128 | p99 c=128 | p99 × nginx |"
      echo "|---|---:|---:|---:|---:|---:|---:|"
      local row name sec r1 r128 n1 n128
      n1=$(best service nginx 1)
      n128=$(best service nginx 128)
      for row in $service_servers; do
        sec=service
        name=$row
        if [[ $row == *:* ]]; then
          sec=${row%%:*}
          name=${row#*:}
        fi
        r1=$(best "$sec" "$name" 1)
        r128=$(best "$sec" "$name" 128)
        [ -n "$r1" ] || continue
        echo "| $name | $(field 7 "$r1") | $(field 9 "$r1") | $(ratio "$(field 9 "$r1")" "$(field 9 "$n1")") |" \
          "$(field 7 "$r128") | $(field 9 "$r128") | $(ratio "$(field 9 "$r128")" "$(field 9 "$n128")") |"
      done
    fi
  } >"$OUT"
  say "results written to $OUT"
}

# estimate SECTIONS: about how many seconds the sections take with this run's settings: each
# measurement SECS plus about 0.7 s around it, each server 1.5 s to start, warm up and stop.
estimate() {
  local service=7 line=5 base=0
  [ -n "$HAVE_POCO" ] || { service=$((service - 2)) && line=$((line - 1)); }
  [ -n "$HAVE_ID" ] || { service=$((service - 1)) && line=$((line - 1)); }
  [ -z "$HAVE_BASE" ] || base=1
  awk -v sections=" $1 " -v r="$ROUNDS" -v s="$SECS" -v sv=$((service + base)) \
    -v ln=$((line + base)) -v base="$base" -v prog="$([ -x "$PROGRAM" ] && echo 1 || echo 0)" '
    function has(x) { return index(sections, " " x " ") > 0 }
    BEGIN {
      m = s + 0.7
      if (has("service")) t += (sv * 4 * r + 2) * m + (sv + 1) * 1.5
      if (has("line")) t += ln * 3 * r * m + ln * 1.5
      if (has("bulk")) t += s + 10 + 12 * r
      if (has("scale")) t += (2 + base) * 10
      if (has("limits")) t += (2 + base) * 2 * r * m + (3 + base) * 1.5
      if (has("hostile")) t += 8
      if (has("tls")) t += 4 * r * m + 10 + 8 * r
      if (has("program") && prog) t += 4 * r * m + 3
      printf "%d", t
    }'
}

# A record of the load average when a section starts (and "end" when all are done).
section_load() { echo "load $1 $(cut -d' ' -f1-3 /proc/loadavg)" >>"$TMP/records"; }

SECTIONS=${BENCH_SECTIONS:-service line bulk scale limits hostile tls program}
for section in $SECTIONS; do
  case $section in
  service | line | bulk | scale | limits | hostile | tls | program) ;;
  *) say "unknown section $section" && exit 2 ;;
  esac
done
EXPECTED=$(estimate "$SECTIONS")
say "sections: $SECTIONS; expected to take about $((EXPECTED / 60)) min $((EXPECTED % 60)) s (limit ${LIMIT} s)"
[ "$EXPECTED" -lt "$LIMIT" ] || say "the estimate exceeds BENCH_LIMIT: lower BENCH_ROUNDS or BENCH_SECONDS, or raise the limit"
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
RUN_START=$(date +%s)
: >"$TMP/records"
for section in $SECTIONS; do
  section_load "$section"
  "section_$section"
done
section_load end
say "took $(($(date +%s) - RUN_START)) s"
write_report
cat "$OUT"
