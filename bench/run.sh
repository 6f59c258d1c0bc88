#!/usr/bin/env bash
# Every benchmark beside its floor, measured in the same run: the cost of one charge-limit
# evaluation (callgrind), request to reply over the bus, the running daemon at rest and after a
# request storm, the lid closed during forced discharge, a simulated week of holding the limit,
# and decoding hostile limit files. Builds what it needs (default preset), prints one table and
# rewrites bench/RESULTS.md and bench/week.png. Takes about ten minutes once the build is up to
# date.
#
# Everything runs on private buses, with the daemon installed in a virtual Mac's root folder
# under /tmp; nothing reaches the machine's own buses, /Library, /Users or /Applications.
#
# Settings (environment):
#   WK_BENCH_PHASES   which parts to run, of "eval rtt idle lid week limits" (default: all)
#   WK_BENCH_SEED     the week's schedule (default 20250806)
#   WK_BENCH_SCALE    the week's time scale, simulated seconds per real second (default 3000)
#   WK_BENCH_ROUNDS   round trips of each kind (default 2000)
#   WK_BENCH_REQUESTS requests of the storm (default 100000)
#   WK_BENCH_IDLE     seconds of the idle window (default 60)
#   WK_BENCH_LID      lid closings during forced discharge, at time scale 1 (default 30)
#   WK_BENCH_DAYS     simulated days instead of a week (a trial run)
#   WK_BENCH_KEEP     keep the run's folder in /tmp (logs, traces, callgrind files)
# A run of only some parts, or of fewer days, leaves bench/ alone and keeps its page in /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
. scripts/virtual_mac_world.sh
bench=$top/bench
build=$top/build/default

phases=${WK_BENCH_PHASES:-eval rtt idle lid week limits}
seed=${WK_BENCH_SEED:-20250806}
scale=${WK_BENCH_SCALE:-3000}
rounds=${WK_BENCH_ROUNDS:-2000}
requests=${WK_BENCH_REQUESTS:-100000}
idle_seconds=${WK_BENCH_IDLE:-60}
lid_samples=${WK_BENCH_LID:-30}
limit=80
batch=100
evaluations=2000

has() { [[ " $phases " == *" $1 "* ]]; }
# Where the page and the plot go: bench/ after a full run, the run's own folder otherwise.
full=1
for part in eval rtt idle lid week limits; do has "$part" || full=; done
[ -n "${WK_BENCH_DAYS:-}" ] && full=
say() { printf '== %s\n' "$*" >&2; }

began=$(date +%s)
say "Building (default preset)"
cmake --preset default >/dev/null
targets=$(cmake --build --preset default --target help)
if [[ "$targets" != *wk_bus_probe* ]]; then
  echo "bench/run.sh: no helper programs in the build. They need this line in the top-level" >&2
  echo "CMakeLists.txt, inside if(WATTKEEPER_BENCHMARKS), after wk_bench:  add_subdirectory(bench)" >&2
  exit 1
fi
cmake --build --preset default -j2 --target wk_eval_cost wk_bus_probe wk_bench virtual-mac wattctl Wattkeeper >/dev/null

work=$(mktemp -d /tmp/wattkeeper-bench.XXXXXX)
results=$work/results.txt
if [ -n "$full" ]; then out=$bench; else out=$work; WK_BENCH_KEEP=1; fi
: > "$results"
pids=()
# Stops every process this script started, the last started first: the daemons and helpers
# before their virtual Macs, the virtual Macs before their buses.
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  pids=()
}
cleanup() {
  stop_all
  # A daemon started by `open` (a restart) would have left its process id here.
  for file in "$work"/*/open.pid; do
    [ -s "$file" ] && kill "$(cat "$file")" 2>/dev/null || true
  done
  if [ -n "${WK_BENCH_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

record() { tee -a "$results" >/dev/null; }
put() { echo "$1=$2" >> "$results"; }
value() { sed -n "s/^$1=//p" "$results" | tail -n1; }

# Stops one process this script started and forgets it.
stop() {
  local pid=$1 kept=() p
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  for p in "${pids[@]}"; do [ "$p" != "$pid" ] && kept+=("$p"); done
  pids=("${kept[@]+"${kept[@]}"}")
}

# A world in folder $1: a private bus, the virtual Mac (charge $2, time scale $3, trace file $4
# or nothing) and, unless $5 is "nodaemon", the daemon installed in the virtual Mac's root with
# charge control on at the limit. Sets vm_pid and daemon_pid; every command run afterwards with
# `in_world $1` talks to this world.
start_world() {
  local dir=$1 charge=$2 world_scale=$3 trace=${4:-} with=${5:-daemon}
  start_bus "$dir"
  local root=$dir/root
  mkdir -p "$root"
  local trace_args=()
  [ -n "$trace" ] && trace_args=(--trace "$trace")
  WATTKEEPER_BUS_ADDRESS=$(head -n1 "$dir/address") "$build/virtual-mac" serve --root "$root" --user anna \
    --charge "$charge" --time-scale "$world_scale" "${trace_args[@]}" > "$dir/virtual-mac.log" 2>&1 &
  vm_pid=$!
  pids+=("$vm_pid")
  local up=
  for _ in $(seq 100); do
    if in_world "$dir" "$build/virtual-mac" status >/dev/null 2>&1; then up=1; break; fi
    sleep 0.05
  done
  [ -n "$up" ] || { echo "bench/run.sh: the virtual Mac does not answer; see $dir/virtual-mac.log" >&2; exit 1; }
  daemon_pid=
  [ "$with" = nodaemon ] && return 0
  # As on a Mac: installed, then started and kept alive by the virtual Mac's launchd, which stops
  # it with the virtual Mac. Its output goes to the job file's log in the virtual root.
  daemon_pid=$(in_world "$dir" install_daemon "$build") || exit 1
  ln -sf "$root/Library/Logs/Wattkeeper.log" "$dir/daemon.log"
  local ok=
  for _ in $(seq 100); do
    if in_world "$dir" "$build/wattctl" --lang en --timeout 0.5 status >/dev/null 2>&1; then ok=1; break; fi
    sleep 0.1
  done
  [ -n "$ok" ] || { echo "bench/run.sh: the daemon does not answer; see $dir/daemon.log" >&2; exit 1; }
  in_world "$dir" "$build/wattctl" --lang en limit "$limit" >/dev/null
  in_world "$dir" "$build/wattctl" --lang en on >/dev/null
}

in_world() {
  local dir=$1
  shift
  WATTKEEPER_BUS_ADDRESS=$(head -n1 "$dir/address") WATTKEEPER_OPEN_PIDFILE=$dir/open.pid \
    WATTKEEPER_DAEMON_LOG=$dir/restarted.log "$@"
}
# The same for a program started in the background (`in_world_bg DIR PROGRAM... &`): the
# background subshell becomes the program, so that $! is the program's own process id.
in_world_bg() {
  local dir=$1
  shift
  WATTKEEPER_BUS_ADDRESS=$(head -n1 "$dir/address") WATTKEEPER_OPEN_PIDFILE=$dir/open.pid \
    WATTKEEPER_DAEMON_LOG=$dir/restarted.log exec "$@"
}

# Waits until the world's virtual Mac shows the text asked for (seconds at most).
wait_status() {
  local dir=$1 want=$2 seconds=$3
  for _ in $(seq $((seconds * 10))); do
    in_world "$dir" "$build/virtual-mac" status --line 2>/dev/null | grep -q -- "$want" && return 0
    sleep 0.1
  done
  echo "bench/run.sh: the virtual Mac never showed '$want':" >&2
  in_world "$dir" "$build/virtual-mac" status --line >&2 || true
  return 1
}

# Starts a helper of wk_bus_probe in a world and waits for its "ready"; sets helper_pid.
start_helper() {
  local dir=$1 name=$2
  shift 2
  in_world_bg "$dir" "$build/wk_bus_probe" "$@" > "$dir/$name.log" 2>&1 &
  helper_pid=$!
  pids+=("$helper_pid")
  for _ in $(seq 100); do grep -q ready "$dir/$name.log" 2>/dev/null && return 0; sleep 0.05; done
  echo "bench/run.sh: $name did not start; see $dir/$name.log" >&2
  exit 1
}

# ---------------------------------------------------------------------------------------------
if has eval; then
  say "Evaluation cost: callgrind, $evaluations and $((2 * evaluations)) runs of each"
  total() { sed -n 's/^totals: *//p' "$1"; }
  put eval_n "$evaluations"
  for state in holding charging; do
    put "eval_${state}_seam_calls" "$("$build/wk_eval_cost" count "$state")"
    for what in evaluation floor; do
      for n in "$evaluations" "$((2 * evaluations))"; do
        valgrind --tool=callgrind --toggle-collect='*measured*' --callgrind-out-file="$work/cg.$what.$state.$n" \
          "$build/wk_eval_cost" "$what" "$state" "$n" 2>"$work/cg.$what.$state.$n.log"
      done
      per=$(( ($(total "$work/cg.$what.$state.$((2 * evaluations))") - $(total "$work/cg.$what.$state.$evaluations")) / evaluations ))
      if [ "$what" = evaluation ]; then put "eval_${state}_instr" "$per"; else put "eval_${state}_floor_instr" "$per"; fi
    done
  done
fi

# ---------------------------------------------------------------------------------------------
if has rtt || has idle; then
  say "A daemon holding a battery at ${limit}% (time scale 1)"
  world=$work/rest
  start_world "$world" "$limit" 1
  wait_status "$world" "state holding" 30
  # Nothing changes from here on: the charge stays put while held.
  sleep 2
  world_daemon=$daemon_pid
  world_vm=$vm_pid
  start_helper "$world" rest rest
  rest_pid=$helper_pid
  sleep 600 &
  sleeper=$!
  pids+=("$sleeper")

  if has idle; then
    say "Idle: ${idle_seconds} s with nothing changing"
    in_world "$world" python3 "$bench/bench.py" idle "$idle_seconds" daemon="$world_daemon" rest="$rest_pid" \
      vm="$world_vm" sleep="$sleeper" --calls-of "$world_daemon" | record
    in_world "$world" "$build/virtual-mac" status --line | grep -q "state holding" || echo "warning: not holding after the idle window" >&2
  fi

  if has rtt; then
    say "Request to reply: $rounds round trips of each kind"
    put rtt_rounds "$rounds"
    # The calls to the virtual Mac each kind of request makes, counted on the bus: the floor of
    # each request is a bare exchange and that many calls made directly.
    for kind in heartbeat charging_status; do
      in_world "$world" python3 "$bench/bench.py" calls --prefix "rtt_${kind}_" "$world_daemon" -- \
        "$build/wk_bus_probe" requests "$kind" "$rounds" | record
      put "rtt_${kind}_calls_each" "$(awk -v c="$(value "rtt_${kind}_calls")" -v n="$rounds" 'BEGIN { printf "%.2f", c / n }')"
    done
    start_helper "$world" echo echo
    echo_pid=$helper_pid
    in_world "$world" "$build/wk_bus_probe" rtt "$rounds" \
      "$(printf '%.0f' "$(value rtt_heartbeat_calls_each)")" "$(printf '%.0f' "$(value rtt_charging_status_calls_each)")" |
      sed 's/^/rtt_/' | record
    stop "$echo_pid"
  fi

  if has idle; then
    half=$((requests / 2))
    say "Request storm: $requests requests in batches of $batch"
    put storm_total "$requests"
    put storm_batch "$batch"
    in_world "$world" "$build/wk_bus_probe" storm "$half" "$batch" | sed 's/^storm_/storm1_/' | record
    python3 "$bench/bench.py" memory half daemon="$world_daemon" rest="$rest_pid" | record
    in_world "$world" "$build/wk_bus_probe" storm "$((requests - half))" "$batch" | sed 's/^storm_/storm2_/' | record
    sleep 2
    python3 "$bench/bench.py" memory after daemon="$world_daemon" rest="$rest_pid" | record
    put storm_lost "$(( $(value storm1_lost) + $(value storm2_lost) ))"
    put storm_per_second "$(awk -v a="$(value storm1_seconds)" -v b="$(value storm2_seconds)" -v n="$requests" 'BEGIN { printf "%.0f", n / (a + b) }')"
    in_world "$world" "$build/virtual-mac" status --line | sed 's/^/  after the storm: /' >&2
  fi
  for pid in "$rest_pid" "$sleeper" "$world_daemon" "$world_vm" "$bus_pid"; do stop "$pid"; done
fi

# ---------------------------------------------------------------------------------------------
if has lid; then
  say "The lid closed during forced discharge, at time scale 1: $lid_samples times"
  start_world "$work/lid" 85 1
  start_world "$work/lid-ideal" 85 1 "" nodaemon
  start_helper "$work/lid-ideal" hold hold "$limit"
  wait_status "$work/lid" "CH0I 1" 30
  wait_status "$work/lid-ideal" "CH0I 1" 30
  put lid_samples "$lid_samples"
  python3 "$bench/bench.py" lid --samples "$lid_samples" --seed "$seed" --virtual-mac "$build/virtual-mac" \
    daemon="$work/lid" ideal="$work/lid-ideal" | record
  stop_all
fi

# ---------------------------------------------------------------------------------------------
if has week; then
  days=${WK_BENCH_DAYS:-7}
  say "Holding the limit: $days simulated days at ${scale}x (about $(awk -v d="$days" -v s="$scale" 'BEGIN { printf "%.0f", d * 86400 / s }') s), seed $seed"
  put week_seed "$seed"
  put week_scale "$scale"
  # The daemon's world, and the same machine and schedule run by an ideal controller.
  start_world "$work/week" 50 1 "$work/week/trace.csv"
  week_daemon=$daemon_pid
  start_world "$work/ideal" 50 1 "$work/ideal/trace.csv" nodaemon
  start_helper "$work/ideal" hold hold "$limit"
  in_world "$work/week" "$build/virtual-mac" time-scale "$scale"
  in_world "$work/ideal" "$build/virtual-mac" time-scale "$scale"
  for w in week ideal; do
    in_world_bg "$work/$w" python3 "$bench/bench.py" schedule --seed "$seed" --days "$days" --scale "$scale" \
      --trace "$work/$w/trace.csv" --virtual-mac "$build/virtual-mac" --events "$work/$w/events.csv" \
      > "$work/$w/schedule.out" &
    eval "schedule_$w=\$!"
  done
  # shellcheck disable=SC2154
  wait "$schedule_week" "$schedule_ideal"
  for w in week ideal; do in_world "$work/$w" "$build/virtual-mac" trace stop >/dev/null; done
  kill -0 "$week_daemon" 2>/dev/null || echo "warning: the daemon ended during the week; see $work/week/daemon.log" >&2
  put week_events "$(sed -n 's/^schedule_events=//p' "$work/week/schedule.out")"
  python3 "$bench/bench.py" analyse "$work/week/trace.csv" week_daemon --limit "$limit" --scale "$scale" | record
  python3 "$bench/bench.py" analyse "$work/ideal/trace.csv" week_ideal --limit "$limit" --scale "$scale" | record
  cp "$work/week/events.csv" "$work/week-events.csv"

  gnuplot <<EOF
set datafile separator ","
set terminal pngcairo size 1200,500 font ",9"
set output "$out/week.png"
set multiplot layout 2,1 title "A simulated week held at ${limit}% (seed $seed, ${scale}x)"
set lmargin 14
set rmargin 16
set ylabel "charge (%)"
set yrange [0:100]
set xrange [0:$days]
set key at screen 0.99, graph 1 right top
set grid
set format x ""
set tmargin 2
set bmargin 0.5
plot "$work/ideal/trace.csv" every ::1 using (\$1/86400):2 with lines lw 1 lc rgb "#aaaaaa" title "ideal", \
     "$work/week/trace.csv" every ::1 using (\$1/86400):2 with lines lw 1.5 lc rgb "#1f77b4" title "daemon", \
     $limit with lines dt 2 lc rgb "#d62728" title "limit"
set ylabel "daemon's machine"
set yrange [-0.2:4.6]
set ytics ("adapter" 0.5, "lid closed" 1.5, "asleep" 2.5, "forced disch." 3.5)
set format x "%g"
set xlabel "simulated days"
set tmargin 0.5
set bmargin 3
plot "$work/week/trace.csv" every ::1 using (\$1/86400):(\$3*0.8) with steps lc rgb "#2ca02c" title "adapter", \
     "" every ::1 using (\$1/86400):(1+\$7*0.8) with steps lc rgb "#9467bd" title "lid closed", \
     "" every ::1 using (\$1/86400):(2+\$8*0.8) with steps lc rgb "#8c564b" title "asleep", \
     "" every ::1 using (\$1/86400):(3+\$6*0.8) with steps lc rgb "#d62728" title "CH0I"
unset multiplot
EOF
  stop_all
fi

# ---------------------------------------------------------------------------------------------
if has limits; then
  say "Hostile limit files: each shape filled to the 1 MiB read bound and decoded"
  put limits_bound_ms 50
  "$build/wk_bench" --benchmark_filter='^BM_LimitFile' --benchmark_out="$work/limits.json" \
    --benchmark_out_format=json > "$work/limits.log" 2>&1
  python3 "$bench/bench.py" limits "$work/limits.json" | record
fi

# ---------------------------------------------------------------------------------------------
ended=$(date +%s)
put run_seconds "$((ended - began))"
put machine_cpu "$(lscpu | sed -n 's/^Model name: *//p' | head -n1)"
put machine_cores "$(nproc)"
put machine_memory "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
put machine_kernel "$(uname -r)"
put run_date "$(date -u '+%Y-%m-%d %H:%M UTC')"
put run_commit "$(git -C "$bench" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$bench" diff --quiet HEAD -- ':/' ':(top,exclude)bench/RESULTS.md' ':(top,exclude)bench/week.png' 2>/dev/null || echo ' with local changes')"
put run_phases "$phases"

python3 "$bench/bench.py" report "$results" "$bench/results_template.md" "$out/RESULTS.md"
echo
if [ "$out" = "$bench" ]; then
  echo "bench/RESULTS.md and bench/week.png rewritten ($((ended - began)) s)."
else
  echo "Only part of the benchmarks ran: bench/ is left as it was; this run's page is in $out ($((ended - began)) s)."
fi
