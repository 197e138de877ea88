#!/bin/sh
# The Debian package of a build folder (sh tools/deb-test.sh build): made by
# CPack, checked by lintian (its errors fail, its warnings are shown),
# installed with apt, which pulls its dependencies, its programs run from
# /usr/bin, then purged: nothing of it may be left. As root, or through sudo.
# The package is purged also when a step fails or the run is interrupted, and
# the dependencies apt pulled in for it go with it; Kestrum installed from a
# build (/usr/local) is not touched.
set -e
[ $# -eq 1 ] && [ -f "$1/CMakeCache.txt" ] || { echo "usage: sh tools/deb-test.sh BUILD_FOLDER (a configured build folder)" >&2; exit 2; }
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
# apt waits for another apt (another build's deps.sh) instead of failing.
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"; }
# Installed, or only its configuration left, or half-way: dpkg knows it.
present() { dpkg-query -W -f='${Status}' kestrum 2>/dev/null | grep -qv "not-installed"; }
autoremovable() { apt-get -s autoremove | sed -n 's/^Remv \([^ ]*\) .*/\1/p' | sort; }
start=$(date +%s)

if present; then
    echo "the package kestrum is on this machine already: remove it first (apt-get purge kestrum)" >&2
    exit 1
fi
sh tools/deps.sh lintian

tmp=$(mktemp -d)
window=
cleanup() {
    [ -z "$window" ] || kill "$window" 2> /dev/null || true
    if present; then
        apt_get purge -y -qq kestrum > /dev/null || echo "could not purge kestrum: apt-get purge kestrum" >&2
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "building the package"
cmake --build "$build" --target package > "$tmp/package.log" 2>&1 || { cat "$tmp/package.log"; exit 1; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/kestrum_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "no package: $deb" >&2; exit 1; }
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Recommends\|Installed-Size\):/\1:/p'

echo "lintian"
# lintian says it had rather not run as root; nothing else to it.
lintian --fail-on error "$deb" > "$tmp/lintian" 2>&1 && failed=0 || failed=1
grep -v "running with root privileges" "$tmp/lintian" || echo "no errors, no warnings"
[ $failed = 0 ] || { echo "lintian reports errors" >&2; exit 1; }

echo "installing"
autoremovable > "$tmp/autoremovable-before"
apt_get install -y -qq "$deb" > "$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
dpkg-query -W -f='${Status}' kestrum | grep -q "ok installed" || { echo "kestrum is not installed after apt-get install" >&2; exit 1; }
dpkg-query -L kestrum > "$tmp/files"
for f in /usr/bin/kestrum /usr/bin/kestrum-cli /usr/share/applications/kestrum.desktop \
    /usr/share/applications/kestrum-volumes.desktop /usr/share/icons/hicolor/scalable/apps/kestrum.svg \
    /usr/lib/udev/rules.d/70-kestrum.rules /usr/share/doc/kestrum/copyright /usr/share/doc/kestrum/README.md.gz \
    /usr/share/man/man1/kestrum.1.gz /usr/share/man/man1/kestrum-cli.1.gz; do
    grep -qx "$f" "$tmp/files" && [ -f "$f" ] || { echo "not installed by the package: $f" >&2; exit 1; }
done
echo "installed: the programs, both desktop entries, the icon, the udev rule, the manual pages, README and copyright"

# The programs, from /usr/bin, with a home of their own (the site database,
# the settings) that goes with the run.
run() {
    mkdir -p "$tmp/home/run" && chmod 700 "$tmp/home/run"
    HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/config XDG_DATA_HOME=$tmp/home/data XDG_RUNTIME_DIR=$tmp/home/run \
        KESTRUM_DATABASE=$tmp/home/sites.sqlite QT_QPA_PLATFORM=offscreen "$@"
}
for p in "kestrum Kestrum" "kestrum-cli kestrum-cli"; do
    set -- $p   # the program, and the name its --version gives
    p=$1
    out=$(run /usr/bin/$p --version)
    [ "$out" = "$2 $version" ] || { echo "/usr/bin/$p --version: '$out', not '$2 $version'" >&2; exit 1; }
    echo "/usr/bin/$p --version: $out"
    found=$(command -v $p || true)
    if [ "$found" != /usr/bin/$p ]; then
        # Only an install from a build earlier in PATH (/usr/local/bin) may come first.
        case ":$PATH:" in
            *":$(dirname "$found"):"*":/usr/bin:"*) echo "note: $p is $found here, earlier in PATH than /usr/bin/$p" ;;
            *) echo "$p is not found in PATH as /usr/bin/$p (but as '$found')" >&2; exit 1 ;;
        esac
    fi
done
run /usr/bin/kestrum-cli read --demo --out "$tmp/package.ini"
# The same file as the build folder's program writes, and recorded in the site
# database through Qt's SQLite driver (a dependency no library link shows).
run "$build/kestrum-cli" read --demo --out "$tmp/build.ini" --database "$tmp/build.sqlite"
cmp "$tmp/package.ini" "$tmp/build.ini" || { echo "/usr/bin/kestrum-cli read --demo: not the build's file" >&2; exit 1; }
run /usr/bin/kestrum-cli history | grep -q " read  *done " || { echo "the read is not in the site database" >&2; exit 1; }
echo "/usr/bin/kestrum-cli read --demo: $(grep -c = "$tmp/package.ini") settings, recorded in the site database"
# The window starts from /usr/bin with Qt's platform plugin (offscreen here;
# xcb comes in the same package) and opens its site database as it comes up;
# SIGTERM then ends it: closed as its window would be, or (a moment earlier)
# killed, but not crashed.
# Started by exec, so that $! is the program itself (a function run in the
# background is a shell of its own, and SIGTERM would end only that shell).
(
    mkdir -p "$tmp/home/run" && chmod 700 "$tmp/home/run"
    exec env HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/config" XDG_DATA_HOME="$tmp/home/data" \
        XDG_RUNTIME_DIR="$tmp/home/run" KESTRUM_DATABASE="$tmp/home/sites.sqlite" QT_QPA_PLATFORM=offscreen \
        /usr/bin/kestrum --demo --full --database "$tmp/window.sqlite"
) > "$tmp/window.log" 2>&1 &
window=$!
tries=600   # 60 s
while [ ! -s "$tmp/window.sqlite" ] && kill -0 $window 2> /dev/null && [ $tries -gt 0 ]; do
    sleep 0.1; tries=$((tries - 1))
done
[ -s "$tmp/window.sqlite" ] || { cat "$tmp/window.log"; echo "/usr/bin/kestrum --demo did not come up" >&2; exit 1; }
kill -TERM $window
wait $window 2> /dev/null && closed=0 || closed=$?   # no "Terminated" from the shell
window=
case $closed in
    0|143) ;;
    *) cat "$tmp/window.log"; echo "/usr/bin/kestrum --demo exited with $closed on SIGTERM" >&2; exit 1 ;;
esac
echo "/usr/bin/kestrum --demo: came up, ended by SIGTERM"

echo "removing"
apt_get purge -y -qq kestrum > "$tmp/remove.log" 2>&1 || { cat "$tmp/remove.log"; exit 1; }
if present; then echo "kestrum is still known to dpkg after purge" >&2; exit 1; fi
# Every file is gone; a folder stays only when another package has it or it
# holds something else.
left=0
while read -r f; do
    if [ -d "$f" ] && [ ! -L "$f" ]; then
        if [ -z "$(ls -A "$f")" ] && ! dpkg-query -S "$f" > /dev/null 2>&1; then
            echo "left after purge: the empty folder $f" >&2; left=1
        fi
    elif [ -e "$f" ] || [ -L "$f" ]; then
        echo "left after purge: $f" >&2; left=1
    fi
done < "$tmp/files"
[ $left = 0 ] || exit 1
# What apt pulled in for the package only goes too.
autoremovable > "$tmp/autoremovable-after"
pulled=$(comm -13 "$tmp/autoremovable-before" "$tmp/autoremovable-after")
if [ -n "$pulled" ]; then
    echo "removing what apt installed for it:" $pulled
    apt_get purge -y -qq $pulled > /dev/null
fi
echo "installed, ran from /usr/bin and purged: $(grep -c . "$tmp/files") paths, none left ($(($(date +%s) - start)) s)"
