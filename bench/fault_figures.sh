#!/usr/bin/env bash
# Counts what survived the fault tests: runs every fault test once (the
# server going away, the disk filling up, concurrent runs, hostile input,
# and N SIGKILL trials, default 50) and adds up the figures that each test
# prints: trials per fault kind, event-log entries seen, archives checked,
# bytes compared with a snapshot, and losses (which must be 0).
#   bench/fault_figures.sh [N] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
trials=${1:-50}
build=${2:-build}
if [ ! -x "$build/vaultrun_fault_tests" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$build" >/dev/null
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$build/vaultrun_fault_tests" --gtest_filter='ServerGoesAway.*:DiskFullTest.*:ConcurrentRuns.*:HostileInput.*' \
  >"$log" 2>&1 || status=$?
scripts/fault-trials "$trials" "$build" >>"$log" 2>&1 || status=$?
grep -E '^(kill trials|tmpfs:|two runs|server stopped)' "$log" || true
echo
awk '/^fault-figures / {
  for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
  k = f["kind"]; if (!(k in trials)) order[++n] = k
  trials[k] += f["trials"]; entries[k] += f["entries"]; archives[k] += f["archives"]
  bytes[k] += f["bytes"]; losses[k] += f["losses"]
}
END {
  printf "%-20s %8s %8s %9s %14s %7s\n", "fault kind", "trials", "entries", "archives", "bytes compared", "losses"
  for (i = 1; i <= n; ++i) {
    k = order[i]
    printf "%-20s %8d %8d %9d %14d %7d\n", k, trials[k], entries[k], archives[k], bytes[k], losses[k]
    t += trials[k]; e += entries[k]; a += archives[k]; b += bytes[k]; l += losses[k]
  }
  printf "%-20s %8d %8d %9d %14d %7d\n", "total", t, e, a, b, l
}' "$log"
if [ "$status" -ne 0 ]; then
  echo "a fault test failed; its output:" >&2
  grep -E 'Failure|FAILED|Expected|Which is' "$log" | head -40 >&2
fi
exit "$status"
