# The serial ports listed without opening any, and the USB arrival watch,
# under Wine. Sourced by tools/windows/test.sh near its end, in its shell:
# it uses run, stage, $wine, $WINEPREFIX, $top and sets failed=1 on a
# failure (test.sh runs with set -e: nothing here may end it).
#
# A pseudo-terminal whose other end counts the opens of it (inotify) is
# mapped as COM8 and registered in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
# COM12 is registered with nothing behind it, and COM13 is mapped to the same
# terminal without being registered. test_windows lists the ports (COM8 before
# COM12, and no open counted), then opens COM13 by its name (one open
# counted at least: the count does see opens made through Wine). Then the
# link's searches while no module is attached, measured by test_windows,
# with the wake-ups of its threads and of the wineserver counted here (their
# voluntary context switches) over the same spans. Whatever the script adds goes away
# at its end.

stage "serial ports listed without opening them; the USB arrival watch"
ports_dir=$(mktemp -d)
ports_server=/usr/lib/wine/wineserver
# The terminal's watcher: its name first, then "open" for each open of it,
# and "sync" for each open of the file sync. Both come in the order they
# happened, so once a sync is told, every open before it has been.
: > "$ports_dir/sync"
cat > "$ports_dir/watch.py" << 'EOF'
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
master, slave = os.openpty()
name = os.ttyname(slave)
os.close(slave)
fd = libc.inotify_init()
IN_OPEN = 0x20
told = {}
for path, word in ((name, "open"), (sys.argv[1], "sync")):
    wd = libc.inotify_add_watch(fd, path.encode(), IN_OPEN)
    if fd < 0 or wd < 0:
        sys.exit("inotify: " + os.strerror(ctypes.get_errno()))
    told[wd] = word
print(name, flush=True)
while True:
    events = os.read(fd, 4096)
    i = 0
    while i < len(events):
        wd, mask, _, length = struct.unpack_from("iIII", events, i)
        if mask & IN_OPEN:
            print(told[wd], flush=True)
        i += 16 + length
EOF
: > "$ports_dir/opens"
python3 "$ports_dir/watch.py" "$ports_dir/sync" > "$ports_dir/opens" 2>&1 &
ports_watcher=$!
i=0
while ! grep -q '^/dev/' "$ports_dir/opens" && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
ports_pty=$(head -n 1 "$ports_dir/opens")
ports_opens() {   # the opens of the terminal so far, once the watcher has told them all
    syncs=$(grep -c '^sync$' "$ports_dir/opens" || true)
    : < "$ports_dir/sync"
    i=0
    while [ "$(grep -c '^sync$' "$ports_dir/opens")" -le "$syncs" ] && [ $i -lt 100 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    grep -c '^open$' "$ports_dir/opens" || true
}

# HARDWARE is rebuilt each time Wine starts: one server, kept running, sees
# the ports registered and the programs that list them.
$ports_server -k 2> /dev/null || true
$ports_server -p || true
ln -sf "$ports_pty" "$WINEPREFIX/dosdevices/com8"
ln -sf "$ports_pty" "$WINEPREFIX/dosdevices/com13"
for ports_p in 8 12; do
    $wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\KestrumTest$ports_p" /d COM$ports_p /f \
        > /dev/null 2>&1 || { echo "COM$ports_p could not be registered"; failed=1; }
done

if [ -z "$ports_pty" ]; then
    echo "no pseudo-terminal to map:"
    cat "$ports_dir/opens"
    failed=1
else
    KESTRUM_TEST_LISTED_COM=COM8 KESTRUM_TEST_BARE_COM=COM12 \
        run ports-listed ./test_windows.exe -o ports-listed.log,txt listsRegisteredPortsWithoutOpening
    ports_n=$(ports_opens)
    if [ "$ports_n" != 0 ]; then
        echo "listing the ports opened $ports_pty $ports_n times"
        failed=1
    fi
    KESTRUM_TEST_UNLISTED_COM=COM13 run ports-unlisted ./test_windows.exe -o ports-unlisted.log,txt opensAPortNotListed
    if [ "$(ports_opens)" -le "$ports_n" ]; then
        echo "opening COM13 was not seen on $ports_pty: the count of opens tells nothing"
        failed=1
    fi
fi

# The detached link: searches a second (test_windows), and the wake-ups a
# second of the test program's threads and of the wineserver (each time a
# thread waits, one wake-up follows), for each span.
ports_measure=${KESTRUM_MEASURE_DETACHED_S:-5}
if [ "$ports_measure" -gt 0 ]; then
    # Each thread of a process with the times it gave the processor up to
    # wait (its voluntary context switches; a thread the system preempted
    # did not sleep): "tid count".
    switches() {
        for t in /proc/"$1"/task/*; do
            awk -v tid="${t##*/}" '/^voluntary_ctxt_switches/ { n += $2 } END { print tid, n + 0 }' \
                "$t/status" 2> /dev/null || true   # a thread that has just ended
        done
    }
    # The server of this prefix works in a folder named by the prefix's device and inode.
    ports_serverdir=$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$WINEPREFIX"))
    ports_serverpid=
    for ports_p in $(pgrep wineserver); do
        case $(readlink /proc/$ports_p/cwd 2> /dev/null) in */$ports_serverdir) ports_serverpid=$ports_p ;; esac
    done
    mkdir "$ports_dir/marks"
    (   # at each edge of each span: the time, then each thread's switches
        pid=
        for span in closed system watched; do
            for edge in start end; do
                while [ ! -e "$ports_dir/marks/$span-$edge" ]; do
                    [ ! -e "$ports_dir/marks/done" ] || exit 0
                    sleep 0.02
                done
                [ -n "$pid" ] || pid=$(pgrep -f '^\./test_windows\.exe -o ports-rate' | head -n 1)
                date +%s.%N > "$ports_dir/$span-$edge.time"
                switches "$pid" > "$ports_dir/$span-$edge.program"
                switches "$ports_serverpid" > "$ports_dir/$span-$edge.server"
                : > "$ports_dir/marks/$span-$edge.seen"
            done
        done
    ) &
    ports_sampler=$!
    KESTRUM_MEASURE_DETACHED_S=$ports_measure KESTRUM_MEASURE_DIR="Z:$ports_dir/marks" \
        run ports-rate ./test_windows.exe -o ports-rate.log,txt detachedRate
    touch "$ports_dir/marks/done"
    wait $ports_sampler || true
    # Each span's searches from the test's own words, beside its wake-ups: the
    # switches of the threads there at its end, less those they had at its
    # start (a thread that ended meanwhile is not counted).
    ports_log=${rundir:-build-windows}/ports-rate.log
    grep -o 'arrival watch: .*' "$ports_log" 2> /dev/null || true
    ports_rate() {   # span, kind: switches a second
        [ -e "$ports_dir/$1-end.time" ] || return 0
        t=$(cat "$ports_dir/$1-start.time" "$ports_dir/$1-end.time" | awk 'NR == 1 { a = $1 } NR == 2 { print $1 - a }')
        awk -v t="$t" 'FNR == NR { before[$1] = $2; next } { n += $2 - before[$1] } END { printf "%.1f", n / t }' \
            "$ports_dir/$1-start.$2" "$ports_dir/$1-end.$2"
    }
    echo "no module attached, $ports_measure s each: searches, and wake-ups of the program and of the wineserver a second"
    for span in closed system watched; do
        searches=$(sed -n "s/.*$span: [0-9]* searches in [0-9.]* s, \([0-9.]*\) a second.*/\1/p" "$ports_log")
        case $span in
            closed) what="link closed" ;;
            system) what="link open, the system's watch" ;;
            watched) what="link open, a stand-in watch" ;;
        esac
        printf '  %-31s %5s searches  %7s program  %7s wineserver\n' \
            "$what:" "${searches:-0}" "$(ports_rate $span program)" "$(ports_rate $span server)"
    done
fi

for ports_p in 8 12; do
    $wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\KestrumTest$ports_p" /f > /dev/null 2>&1 || true
done
rm -f "$WINEPREFIX/dosdevices/com8" "$WINEPREFIX/dosdevices/com13"
$ports_server -k 2> /dev/null || true
kill $ports_watcher 2> /dev/null || true
wait $ports_watcher 2> /dev/null || true
rm -rf "$ports_dir"
