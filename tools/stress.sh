#!/bin/sh
# Runs the test suite N times (ctest -j2 in a build folder, build/ unless one
# is given) with two busy loops beside it, as on a loaded machine, and prints
# each failing test of each run, then a summary. Exits 1 if any run failed.
# Further arguments go to ctest (e.g. -R 'modem|cli').
#   tools/stress.sh N [BUILD_FOLDER] [CTEST_ARGUMENTS...]
# Each run's whole output stays in BUILD_FOLDER/stress/run-K.log.
usage="usage: tools/stress.sh N [BUILD_FOLDER] [CTEST_ARGUMENTS...]"
case $1 in '' | *[!0-9]*) echo "$usage" >&2; exit 2 ;; esac
runs=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ $# -gt 0 ]; then
    case $1 in -*) ;; *) build=$(cd "$1" 2>/dev/null && pwd) || { echo "stress: no folder $1" >&2; exit 2; }; shift ;; esac
fi
[ -f "$build/CTestTestfile.cmake" ] || { echo "stress: $build holds no built tests" >&2; exit 2; }
mkdir -p "$build/stress" || exit 2

hogs=
suite=
stop() {
    for pid in $hogs $suite; do kill "$pid" 2>/dev/null; done
    hogs=
    suite=
}
trap 'stop' EXIT
trap 'stop; echo "stress: interrupted" >&2; exit 130' INT TERM HUP
for i in 1 2; do
    sh -c 'while :; do :; done' &
    hogs="$hogs $!"
done

failed_runs=0
failed_tests=0
k=1
while [ "$k" -le "$runs" ]; do
    log=$build/stress/run-$k.log
    start=$(date +%s)
    # In the background, so that a signal ends the run at once.
    (cd "$build" && exec ctest -j2 --output-on-failure "$@") > "$log" 2>&1 &
    suite=$!
    wait "$suite"
    rc=$?
    suite=
    took=$(($(date +%s) - start))
    # The failing test programs, and in them the failing test functions.
    tests=$(sed -n '/The following tests FAILED:/,$s/^[[:space:]]*[0-9][0-9]* - \(.*\)$/\1/p' "$log")
    if [ $rc -eq 0 ]; then
        echo "run $k: passed (${took} s)"
    else
        failed_runs=$((failed_runs + 1))
        echo "run $k: FAILED (${took} s, exit $rc; $log)"
        [ -n "$tests" ] || echo "    (no test named: see the log)"
        echo "$tests" | sed '/^$/d; s/^/    /'
        grep -E '^FAIL!|^   Loc:' "$log" | sed 's/^/      /'
        failed_tests=$((failed_tests + $(echo "$tests" | sed '/^$/d' | wc -l)))
    fi
    k=$((k + 1))
done
stop
echo "stress: $((runs - failed_runs)) of $runs runs passed, $failed_tests failing tests in all (two busy loops beside ctest -j2)"
[ $failed_runs -eq 0 ]
