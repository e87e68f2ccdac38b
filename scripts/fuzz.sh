#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, ASan, UBSan) and runs
# each one in turn on a single core, then prints for every target its
# executions, executions per second, coverage (libFuzzer's cov and ft) and
# findings. Exits non-zero when any target found something or failed to run.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# TARGET is parser, http, query, service, index, csv, gpx, nmea or plain (the batch tool's
# readers); the default is all nine, and a fuzz build without the lookup service's and the
# batch tool's six fails the run. A run ends after
# SECONDS or FUZZ_RUNS executions (when set), whichever comes first, or at
# the first finding. The committed seeds in fuzz/corpus/TARGET
# are only read; what a run learns goes to build/fuzz/corpus/TARGET, and the
# input behind a finding to build/fuzz/findings/TARGET, with the log in
# build/fuzz/logs/TARGET.log. A finding is replayed with
#   build/fuzz/fuzz/fuzz_TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
seconds=$1
shift
targets=("$@")

# One run at a time: runs share the build, the grown corpora and the logs.
mkdir -p build
exec 9>build/fuzz.lock
if ! flock -n 9; then
    echo "fuzz: another run holds build/fuzz.lock; waiting for it (at most 2 hours)"
    flock -w 7200 9 || { echo "fuzz: gave up waiting for the other run" >&2; exit 1; }
fi

cmake --preset fuzz >/dev/null
if [ ${#targets[@]} -eq 0 ]; then
    targets=(parser http query)
    # grep reads the whole list: with -q it would stop at the first match, and ninja, cut off
    # mid-write, would fail the pipeline and leave these targets out without a word.
    if ninja -C build/fuzz -t targets all | grep '^fuzz_service:' >/dev/null; then
        targets+=(service index csv gpx nmea plain)
    else
        echo "fuzz: the lookup service and the batch tool are not part of the fuzz build (is Boost missing? scripts/setup.sh installs it)" >&2
        exit 1
    fi
fi
build=()
for t in "${targets[@]}"; do build+=("fuzz_$t"); done
cmake --build --preset fuzz -j2 --target "${build[@]}"

# Per-target options: texts are at most 100 bytes each; HTTP answers may run
# past the 4096-byte body buffer; the readers' files reach past their 1,000-line limit. Each input gets at most 10 seconds; the
# targets' own socket time-outs are 2 seconds.
options() {
    case $1 in
    parser) echo "-max_len=201 -dict=$root/fuzz/parser.dict" ;;
    http | query) echo "-max_len=8192 -dict=$root/fuzz/http.dict" ;;
    service) echo "-max_len=4096 -dict=$root/fuzz/service.dict" ;;
    index) echo "-max_len=64" ;;
    csv | gpx | nmea) echo "-max_len=4096 -dict=$root/fuzz/$1.dict" ;;
    plain) echo "-max_len=4096" ;;
    esac
}

failed=0
summary=()
for t in "${targets[@]}"; do
    work=$root/build/fuzz
    mkdir -p "$work/corpus/$t" "$work/findings/$t" "$work/logs"
    log=$work/logs/$t.log
    before=$(find "$work/findings/$t" -type f | wc -l)
    runs=()
    [ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
    printf '\n==== fuzz %s: %s s ====\n' "$t" "$seconds"
    status=0
    # shellcheck disable=SC2046
    "$work/fuzz/fuzz_$t" "$work/corpus/$t" "$root/fuzz/corpus/$t" $(options "$t") \
        -max_total_time="$seconds" "${runs[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/findings/$t/" >"$log" 2>&1 || status=$?
    after=$(find "$work/findings/$t" -type f | wc -l)
    findings=$((after - before))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    # -a: the log quotes the fuzzer's raw bytes, which makes grep call it binary.
    cov=$(grep -a -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
    line=$(printf '%-8s executions %-10s exec/s %-7s %-22s findings %s' \
        "$t" "${execs:-?}" "${rate:-?}" "${cov:-cov: ? ft: ?}" "$findings")
    echo "$line"
    summary+=("$line")
    if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed=1
        echo "fuzz $t: exit status $status; last lines of $log:"
        tail -n 40 "$log"
    fi
done

printf '\n==== fuzz summary ====\n'
printf '%s\n' "${summary[@]}"
exit $failed
