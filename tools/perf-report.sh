#!/usr/bin/env bash
# Builds the release benchmarks, runs them with JSON output and writes
# docs/performance.md and its pictures in docs/img/.
#
#   tools/perf-report.sh           the full report (about 15 minutes)
#   tools/perf-report.sh --quick   small sizes, a few seconds per figure: checks
#                                  that the tool works (CI); writes into
#                                  build/perf-quick/ instead of docs/
#
# Needs Debian's libbenchmark-dev and python3-matplotlib (installed here when
# missing and running as root); libuv1-dev and libboost-dev add the peers.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[[ ${1:-} == --quick ]] && quick=1

missing=()
for package in libbenchmark-dev python3-matplotlib libuv1-dev libboost-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  if ((EUID == 0)); then
    echo "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" ||
      { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; }
  else
    echo "missing (install them as root): ${missing[*]}" >&2
  fi
fi

# Configuring again looks again for the optional peers (libuv, Asio) not found before.
cmake --preset release >/dev/null
programs=(bench_timer_lateness bench_timer bench_event_loop bench_mutex bench_event bench_uptime bench_thread bench_semaphore)
cmake --build build/release --target "${programs[@]}"

bin=build/release/bench
if ((quick)); then
  out=build/perf-quick
  docs=$out
  reps=(--benchmark_repetitions=3 --benchmark_min_time=0.02)
  timer=(--timer_figures=1 --timer_rounds=1 --timer_seconds=1)  # the drift figure takes 10 s a run
  sizes='armed:100000/'
  loop='OneSecond'
else
  out=build/perf
  docs=docs
  reps=(--benchmark_repetitions=10 --benchmark_min_time=0.1)
  timer=(--timer_figures=12 --timer_rounds=5 --timer_seconds=5)
  sizes='armed:'
  loop='.'
fi
mkdir -p "$out/json" "$docs/img"
log=$out/bench.log
: >"$log"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$SECONDS

run() {  # run <name> <program> <flags>...: console output to the log, JSON to $out/json
  local name=$1 program=$2
  shift 2
  echo "=== $name" | tee -a "$log"
  "$bin/$program" "$@" --ratio_json="$out/json/$name.ratios.json" \
    --benchmark_out="$out/json/$name.json" --benchmark_out_format=json >>"$log" 2>&1
}

echo "=== timer_lateness" | tee -a "$log"
"$bin/bench_timer_lateness" "${timer[@]}" --ratio_json="$out/json/timer_lateness.ratios.json" >>"$log" 2>&1
run timer bench_timer --timer_figures=3 "${reps[@]}" \
  --benchmark_filter="^(ServiceArm|ServiceCancel|HeapInsert|HeapCancel|UvTimerStart|UvTimerStop)/$sizes"
run event_loop bench_event_loop --benchmark_filter="$loop"
if ((!quick)); then
  for program in mutex event uptime thread semaphore; do
    run "$program" "bench_$program" "${reps[@]}"
  done
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

/usr/bin/python3 tools/perf_report.py --json "$out/json" --docs "$docs" --seconds $((SECONDS - start)) \
  --load-before "$load_before" --load-after "$load_after" --mode "$([[ $quick == 1 ]] && echo quick || echo full)" \
  --command "tools/perf-report.sh${1:+ $1}"
echo "report: $docs/performance.md (log: $log)"
