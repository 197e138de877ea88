#!/bin/sh
# Cross-builds Kestrum for Windows into build-windows/ and runs, under Wine
# with Qt's own windows platform plugin on an Xvfb display, every test that
# needs no real device: the core tests (the site database on PostgreSQL too,
# a throw-away server on Linux reached over TCP), the window tests against
# the simulated module, the language tests (the registry round trip), the replay
# of the fuzz corpora, the modem dialogue through a Win32 COM port that Wine
# maps to a pseudo-terminal where the simulated GSM modem answers, and
# the packaged kestrum-cli.exe's settings file against the Linux build's,
# byte for byte.
set -e
cd "$(dirname "$0")/../.."
top=$(pwd)
cache=${KESTRUM_WINDOWS_CACHE:-$HOME/.cache/kestrum-windows}
if [ -z "$KESTRUM_UNDER_XVFB" ]; then
    sh tools/windows/setup.sh
    # One display for the whole run.
    exec xvfb-run -a -s "-screen 0 1280x1024x24" env KESTRUM_UNDER_XVFB=1 sh "$0" "$@"
fi
stage() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

stage "cross-build"
KESTRUM_WINDOWS_PREFIX="$cache/qt;$cache/hidapi;$cache/sqlite;$cache/pgsql" cmake -S . -B build-windows -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/tools/windows/mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$cache/qt;$cache/hidapi;$cache/sqlite;$cache/pgsql" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake > /dev/null
KESTRUM_WINDOWS_PREFIX="$cache/qt;$cache/hidapi;$cache/sqlite;$cache/pgsql" cmake --build build-windows -j2
# The Linux side: the simulated GSM modem, and the file to compare with.
[ -x build/kestrum-cli ] && [ -x build/kestrum-simmodem ] ||
    { cmake -S . -B build > /dev/null && cmake --build build -j2 --target kestrum-cli kestrum-simmodem; }

export WINEPREFIX="$cache/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    $wine wineboot -u > /dev/null 2>&1
    # No window manager runs on the Xvfb display: windows unmanaged, or Wine
    # waits two seconds for one each time a window is hidden.
    $wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f > /dev/null 2>&1
    /usr/lib/wine/wineserver -w
fi
failed=0
run() {   # name, then the program and its arguments
    name=$1
    shift
    start=$(date +%s)
    if (cd "${rundir:-build-windows}" && QT_QPA_PLATFORM=windows timeout 600 $wine "$@" > "$top/build-windows/$name.out" 2>&1); then
        printf '%-28s passed  %3d s\n' "$name" $(( $(date +%s) - start ))
    else
        printf '%-28s FAILED\n' "$name"
        cat "build-windows/$name.out" "build-windows/$name.log" 2> /dev/null || true
        failed=1
    fi
}

# A throw-away PostgreSQL server on this machine for the site-database tests:
# the Windows programs reach it over TCP on 127.0.0.1 (Wine passes the
# environment on). It goes away at the end, also after a failure or Ctrl-C.
pg=wine-$$
trap 'sh tools/pgtest.sh stop $pg > /dev/null 2>&1' EXIT
trap 'exit 130' INT TERM
KESTRUM_TEST_POSTGRES=$(sh tools/pgtest.sh start $pg --tcp)
export KESTRUM_TEST_POSTGRES

stage "tests under Wine"
for t in build-windows/test_*.exe; do
    n=$(basename "$t" .exe)
    [ "$n" = test_comport ] && continue
    # A Windows program's QtTest writes to the debugger, not to a pipe: to a file.
    run "$n" "./$n.exe" -o "$n.log,txt"
done
for r in build-windows/replay_*.exe; do
    n=$(basename "$r" .exe)
    run "$n" "./$n.exe" "$top/tests/fuzz/corpus/${n#replay_}"
done

stage "modem dialogue through COM5"
build/kestrum-simmodem > build-windows/simmodem.out 2>&1 &
sim=$!
i=0
while ! grep -q '/dev/pts/' build-windows/simmodem.out && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
pty=$(sed -n 's#.*\(/dev/pts/[0-9]*\).*#\1#p' build-windows/simmodem.out | head -n 1)
ln -sf "$pty" "$WINEPREFIX/dosdevices/com5"
# The ports are listed from SERIALCOMM, where Wine names only the ports it
# made itself, and which it makes anew as its server starts: one server,
# kept running through the test, with COM5 added.
/usr/lib/wine/wineserver -k 2> /dev/null || true
/usr/lib/wine/wineserver -p
$wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\KestrumTest5' /d COM5 /f > /dev/null 2>&1
KESTRUM_TEST_COM=COM5 run test_comport ./test_comport.exe -o test_comport.log,txt
/usr/lib/wine/wineserver -k 2> /dev/null || true
kill $sim 2> /dev/null || true

stage "the package's kestrum-cli.exe against the Linux build"
# Run from the unpacked zip, away from the build folder's DLLs: the package
# holds all it needs.
cmake --build build-windows --target package-zip > /dev/null
pkg=$(basename build-windows/Kestrum-*-win64.zip .zip)
rm -rf build-windows/unpacked build-windows/win.ini build-windows/linux.ini
mkdir build-windows/unpacked
(cd build-windows/unpacked && cmake -E tar xf "../$pkg.zip")
rundir=build-windows/unpacked/$pkg
run kestrum-cli ./kestrum-cli.exe read --demo --out ../../win.ini
rundir=
build/kestrum-cli read --demo --out build-windows/linux.ini
if cmp build-windows/win.ini build-windows/linux.ini; then
    echo "the same file, byte for byte"
else
    failed=1
fi

# The serial ports listed without opening them, and the USB arrival watch.
[ ! -f tools/windows/ports.sh ] || . tools/windows/ports.sh
# The MSI installed, run and removed, and the executables' resources.
[ ! -f tools/windows/msi.sh ] || . tools/windows/msi.sh

/usr/lib/wine/wineserver -k 2> /dev/null || true
exit $failed
