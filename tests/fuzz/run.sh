#!/usr/bin/env bash
# Runs the libFuzzer targets of the `fuzz` preset, one after another, each from its seed corpus
# (tests/fuzz/corpus/<target>/) and its crash regressions (tests/fuzz/regressions/<target>/, run
# first: each must pass). New inputs go to build/fuzz/corpus/<target>/, outside the tree; a crash
# leaves its input in build/fuzz/artifacts/. Prints executions, time, executions per second and
# coverage per target, and fails when any target crashed.
#   tests/fuzz/run.sh [--time SECONDS | --runs N] [--build] [TARGET...]
#     --time S   run each target for S seconds (default 30)
#     --runs N   run each target for N executions instead (e.g. 10000000)
#     --build    configure and build the fuzz preset first
#     TARGET     e.g. ini_fuzz (default: every target that was built)
set -euo pipefail

# All in a function, read whole before it runs: editing this file during a long run is safe.
main() {
  top=$(cd "$(dirname "$0")/../.." && pwd)
  cd "$top"

  limit=(-max_total_time=30)
  build=0
  targets=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --time) limit=(-max_total_time="$2"); shift 2 ;;
      --runs) limit=(-runs="$2"); shift 2 ;;
      --build) build=1; shift ;;
      -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
      -*) echo "unknown option $1" >&2; exit 2 ;;
      *) targets+=("$1"); shift ;;
    esac
  done

  if [ "$build" = 1 ]; then
    cmake --preset fuzz -DVELDORAN_WERROR=ON >/dev/null
    cmake --build --preset fuzz -j "${JOBS:-$(nproc)}"
  fi
  bin=$top/build/fuzz/tests/fuzz
  if [ ${#targets[@]} -eq 0 ]; then
    for f in "$bin"/*_fuzz; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
  fi
  if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $bin (build them with --build)" >&2
    exit 1
  fi

  # fontconfig's caches, kept to the end of the process, are not ours (tests/sanitizers/lsan.supp);
  # every other leak is reported. UndefinedBehaviorSanitizer reports end the run as a crash.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/tests/sanitizers/lsan.supp:print_suppressions=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
  export QT_QPA_PLATFORM=offscreen

  out=$top/build/fuzz  # absolute: a target may change its working folder
  mkdir -p "$out/artifacts" "$out/logs"
  summary=()
  failed=0
  for t in "${targets[@]}"; do
    seeds=$top/tests/fuzz/corpus/$t
    work=$out/corpus/$t
    mkdir -p "$work"
    regressions=$top/tests/fuzz/regressions/$t
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
      if ! "$bin/$t" "$regressions"/* >"$out/logs/$t-regressions.log" 2>&1; then
        echo "$t: a crash regression fails again, see $out/logs/$t-regressions.log" >&2
        failed=1
        continue
      fi
    fi
    log=$out/logs/$t.log
    # The receive dispatcher keeps its buffer between inputs, as the window does between
    # deliveries; two full deliveries per input are enough, and longer inputs mostly repeat the
    # costly end of a read. The toolkit allocates caches as it goes, so a leak check after each
    # input (a full scan of the heap from a traced child) would run on most inputs and slow the
    # target fortyfold; leaks are still checked when the process ends. Its resident size grows by
    # about 100 MB per million executions under the sanitizers (the window's own heap stays flat
    # without them), so ten million need more than the default 2 GB limit leaves room for.
    extra=()
    [ "$t" = dispatcher_fuzz ] && extra=(-max_len=512 -detect_leaks=0 -rss_limit_mb=4096)
    echo "== $t (${limit[*]} ${extra[*]})"
    status=0
    "$bin/$t" "$work" "$seeds" "${limit[@]}" "${extra[@]}" -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$t-" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    seconds=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
    corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 || true)
    line=$(printf '%-16s %11s runs %6ss %8s exec/s  %-22s %s' "$t" "${runs:-?}" "${seconds:-?}" \
      "${per_second:-?}" "${cov:-cov: ?}" "${corpus:-}")
    if [ "$status" != 0 ]; then
      line="$line  CRASHED (status $status, see $log)"
      failed=1
      tail -40 "$log" >&2
    fi
    echo "$line"
    summary+=("$line")
  done

  echo
  echo "fuzzing summary:"
  printf '  %s\n' "${summary[@]}"
  exit $failed
}

main "$@"
