#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each one for SECONDS (default 30) on a copy of its seed corpus, so the committed corpora
# never change. Fails on any finding: a crash, a broken invariant, a leak, a time-out or running
# out of memory. The build goes to build-fuzz/ beside the sources, or to $VELMORA_FUZZ_BUILD.
#   tests/fuzz/run-fuzzers.sh [SECONDS]
set -euo pipefail

seconds=${1:-30}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VELMORA_FUZZ_BUILD:-$root/build-fuzz}

for tool in clang-14 clang++-14 cmake ninja; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing (Debian: clang-14 libclang-rt-14-dev cmake ninja-build)" >&2
        exit 2
    fi
done

if [[ ! -f $build/build.ninja ]]; then
    CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" -j 2

# target, dictionary, longest input, and at least how many seconds. The tracer targets take long
# outputs on purpose: the gateway search once failed only on those. The wire target makes a real
# connection per input (a TLS handshake for half of them), so it gets a minute.
targets=(
    "fuzz-login-answer portal-answers.dict 32768"
    "fuzz-keepalive-answer portal-answers.dict 32768"
    "fuzz-gateway-list tracer-output.dict 65536"
    "fuzz-tracer-header tracer-output.dict 65536"
    "fuzz-portal-requests - 4096"
    "fuzz-wire - 4096 60"
)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
printf '%-24s %10s %14s %8s %8s %6s\n' target runs corpus cov ft seconds
for entry in "${targets[@]}"; do
    read -r target dictionary maxLength leastSeconds <<<"$entry"
    runSeconds=$seconds
    if [[ -n ${leastSeconds:-} ]] && ((leastSeconds > seconds)); then
        runSeconds=$leastSeconds
    fi
    work=$build/run/$target
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp -R "$here/corpus/$target/." "$work/corpus/"
    options=(-max_total_time="$runSeconds" -timeout=10 -rss_limit_mb=2048 -max_len="$maxLength"
             -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/")
    [[ $dictionary != - ]] && options+=(-dict="$here/$dictionary")
    # An input of the wire target may wait out its 2-second deadline and the server's own 3-second
    # time-outs: on a loaded machine that passes 10 s now and then without any fault.
    [[ $target == fuzz-wire ]] && options+=(-timeout=30)

    started=$(date +%s)
    # The client's worker threads get 1 MB of stack on Windows: run with no more, so that deep
    # recursion on hostile input shows up here as it would there. gateway-list writes each match
    # to standard output (closed by -close_fd_mask=1).
    status=0
    (ulimit -s 1024 && exec "$build/$target" "${options[@]}" "$work/corpus") >"$work/log" 2>&1 \
        || status=$?
    elapsed=$(($(date +%s) - started))

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    done=$(grep -E '^#[0-9]+[[:space:]]+DONE ' "$work/log" | tail -n 1 || true)
    cov=$(sed -E -n 's/.* cov: ([0-9]+).*/\1/p' <<<"$done")
    ft=$(sed -E -n 's/.* ft: ([0-9]+).*/\1/p' <<<"$done")
    corpus=$(sed -E -n 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$done")
    printf '%-24s %10s %14s %8s %8s %6s\n' "$target" "${runs:--}" "${corpus:--}" "${cov:--}" \
        "${ft:--}" "$elapsed"

    findings=$(find "$work" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \))
    if [[ $status -ne 0 || -n $findings || -z $done ]]; then
        failed+=("$target")
        echo "---- $target failed (exit $status); the end of $work/log:" >&2
        tail -n 40 "$work/log" >&2
        [[ -n $findings ]] && echo "inputs kept: $findings" >&2
    fi
done

if ((${#failed[@]})); then
    echo "fuzzing found something in: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing: no finding in ${#targets[@]} targets, $seconds s each (the wire at least 60 s)"
