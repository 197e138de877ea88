# Sourced by tools/windows/test.sh, in its shell (its run, stage, $wine,
# $cache, $top and failed): the executables' resources read back (icon,
# version, manifest); the MSI installed into a Wine prefix of its own, made
# anew each time, kestrum-cli.exe run from Program Files (also on a console),
# a newer version installed over it, and everything removed again.
# Sets failed=1 on a failure and carries on.

stage "the MSI made, the executables' resources read back"
msi_build=$(cd "${rundir:-build-windows}" && pwd)
msi_src=$(pwd)
msi_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$msi_build/CMakeCache.txt")
msi_stage=$msi_build/Kestrum-$msi_version-win64
msi_file=$msi_build/Kestrum-$msi_version-win64.msi
msi_failed() {   # what, why
    printf '%-28s FAILED: %s\n' "$1" "$2"
    failed=1
}
msi_passed() { printf '%-28s passed\n' "$1"; }
# The Windows path of a file of this machine.
msi_winpath() { printf 'Z:%s' "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" | tr / '\\'; }
# What the console showed: Wine's own cursor and colour sequences out, a
# carriage return read as a new line.
msi_screen() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$1" | tr '\r' '\n'; }

if cmake --build "$msi_build" --target package-msi > "$msi_build/package-msi.out" 2>&1 && [ -f "$msi_file" ]; then
    msi_passed package-msi
else
    msi_failed package-msi "no $msi_file"
    cat "$msi_build/package-msi.out"
fi
# The packaged programs, as users get them.
for msi_exe in kestrum kestrum-cli; do
    msi_path=$msi_stage/$msi_exe.exe
    msi_why=
    # The icon: one group of the six sizes, 256 pixels the largest.
    wrestool -x -t 14 "$msi_path" > "$msi_build/$msi_exe-group.ico" 2> /dev/null || true
    msi_sizes=$(icotool -l "$msi_build/$msi_exe-group.ico" 2> /dev/null |
                sed -n 's/.*--width=\([0-9]*\).*/\1/p' | tr '\n' ' ')
    [ "$msi_sizes" = "16 24 32 48 64 256 " ] || msi_why="$msi_why icon sizes '$msi_sizes';"
    # The version, as numbers and as text.
    msi_rc=$(x86_64-w64-mingw32-windres -i "$msi_path" -O rc 2> /dev/null | sed -n '/VERSIONINFO/,$p')
    msi_numbers=$(echo "$msi_version.0.0.0" | cut -d. -f1-4 | sed 's/\./, /g')
    for msi_line in "FILEVERSION $msi_numbers" "PRODUCTVERSION $msi_numbers" \
                    "VALUE \"FileVersion\", \"$msi_version\"" "VALUE \"ProductVersion\", \"$msi_version\"" \
                    'VALUE "ProductName", "Kestrum"'; do
        echo "$msi_rc" | grep -qF "$msi_line" || msi_why="$msi_why no $msi_line;"
    done
    # The manifest.
    msi_manifest=$(wrestool -x --raw -t 24 -n 1 "$msi_path" 2> /dev/null || true)
    for msi_line in 'level="asInvoker"' '>PerMonitorV2, PerMonitor</dpiAwareness>' '>true/pm</dpiAware>' \
                    '>UTF-8</activeCodePage>' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' \
                    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
        echo "$msi_manifest" | grep -qF "$msi_line" || msi_why="$msi_why manifest without $msi_line;"
    done
    # The window program has no console, kestrum-cli is a console program.
    msi_subsystem=$(x86_64-w64-mingw32-objdump -p "$msi_path" | sed -n 's/^Subsystem.*(\(.*\))/\1/p')
    msi_want="Windows CUI"
    [ $msi_exe = kestrum-cli ] || msi_want="Windows GUI"
    [ "$msi_subsystem" = "$msi_want" ] || msi_why="$msi_why subsystem '$msi_subsystem';"
    if [ -z "$msi_why" ]; then
        msi_passed "$msi_exe.exe resources"
    else
        msi_failed "$msi_exe.exe resources" "$msi_why"
    fi
done

stage "the MSI installed, run, upgraded and removed"
msi_start=$(date +%s)
msi_prefix=$WINEPREFIX
msi_overrides=$WINEDLLOVERRIDES
# Wine would put the Start-menu entries into this machine's own menu too.
export WINEPREFIX="$cache/wine-msi" WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
/usr/lib/wine/wineserver -k 2> /dev/null || true
rm -rf "$WINEPREFIX"
$wine wineboot -u > /dev/null 2>&1 || true
msi_pf=$WINEPREFIX/drive_c/Program\ Files/Kestrum
msi_uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
msi_shortcuts() { find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Kestrum*'; }
msi_entries() {   # how many programs called Kestrum Add/Remove Programs lists
    $wine reg query "$msi_uninstall" /s 2> /dev/null | tr -d '\r' | grep -c 'DisplayName.*REG_SZ *Kestrum$'
}

if $wine msiexec /i "$(msi_winpath "$msi_file")" /qn > "$msi_build/msi-install.out" 2>&1 &&
   [ -f "$msi_pf/kestrum.exe" ] && [ -f "$msi_pf/platforms/qwindows.dll" ]; then
    msi_passed "msiexec /i"
else
    msi_failed "msiexec /i" "Program Files\\Kestrum not filled"
fi
# The same files as the zip.
if [ "$(cd "$msi_pf" 2> /dev/null && find . -type f | sort)" = "$(cd "$msi_stage" && find . -type f | sort)" ]; then
    msi_passed "the zip's files"
else
    msi_failed "the zip's files" "Program Files\\Kestrum holds other files than $msi_stage"
fi
# The Start-menu entries: every page, and the volume tool.
msi_menu=$(msi_shortcuts | grep '/Kestrum$' | head -n 1)
if [ -f "$msi_menu/Kestrum.lnk" ] && [ -f "$msi_menu/Kestrum Volumes.lnk" ] &&
   x86_64-w64-mingw32-strings -el "$msi_menu/Kestrum.lnk" | grep -qx -- --full &&
   ! x86_64-w64-mingw32-strings -el "$msi_menu/Kestrum Volumes.lnk" | grep -q -- --full &&
   x86_64-w64-mingw32-strings -el "$msi_menu/Kestrum Volumes.lnk" | grep -qx kestrum.exe; then
    msi_passed "Start-menu entries"
else
    msi_failed "Start-menu entries" "not in '$msi_menu', or not kestrum.exe [--full]"
fi
# Add/Remove Programs: one entry, with the icon.
msi_icon=$($wine reg query 'HKLM\Software\Classes\Installer\Products' /s 2> /dev/null | tr -d '\r' |
           sed -n 's/.*ProductIcon *REG_SZ *C:\\\(.*\)$/\1/p' | tr '\\' / | head -n 1)
if [ "$(msi_entries)" = 1 ] && [ -n "$msi_icon" ] &&
   cmp -s "$WINEPREFIX/drive_c/$msi_icon" "$msi_build/kestrum.ico"; then
    msi_passed "Add/Remove Programs"
else
    msi_failed "Add/Remove Programs" "$(msi_entries) entries, icon '$msi_icon'"
fi
# The installed tool runs from Program Files, and its file is the zip's.
rundir=$msi_pf run msi-kestrum-cli-version ./kestrum-cli.exe --version
grep -qx "kestrum-cli $msi_version.*" "$top/build-windows/msi-kestrum-cli-version.out" ||
    msi_failed msi-kestrum-cli-version "it says $(cat "$top/build-windows/msi-kestrum-cli-version.out")"
rm -f "$msi_build/msi.ini"
rundir=$msi_pf run msi-kestrum-cli-read ./kestrum-cli.exe read --demo --out "$(msi_winpath "$msi_build/msi.ini")"
if [ -f "$msi_build/win.ini" ] && ! cmp "$msi_build/msi.ini" "$msi_build/win.ini"; then
    msi_failed msi-kestrum-cli-read "another file than the zip's kestrum-cli.exe wrote"
fi
# Text as typed, through a pipe: UTF-8 bytes, as on Linux.
msi_text='Árvíztűrő-ștefan'
(cd "$msi_pf" && LC_ALL=C.UTF-8 $wine ./kestrum-cli.exe "$msi_text" > /dev/null 2> "$msi_build/msi-pipe.out") || true
if grep -q "unknown command $msi_text" "$msi_build/msi-pipe.out"; then
    msi_passed "UTF-8 through a pipe"
else
    msi_failed "UTF-8 through a pipe" "$(head -n 1 "$msi_build/msi-pipe.out")"
fi
# On a console (Wine makes one on a terminal): the same text, and the
# progress bar of a Read.
(cd "$msi_pf" && LC_ALL=C.UTF-8 script -qc "$wine ./kestrum-cli.exe '$msi_text'" "$msi_build/msi-console.out" \
     < /dev/null > /dev/null 2>&1) || true
if msi_screen "$msi_build/msi-console.out" | grep -q "unknown command $msi_text"; then
    msi_passed "text on a console"
else
    msi_failed "text on a console" "$(msi_screen "$msi_build/msi-console.out" | grep unknown)"
fi
(cd "$msi_pf" && LC_ALL=C.UTF-8 script -qc "$wine ./kestrum-cli.exe read --demo --no-record --out \
     '$(msi_winpath "$msi_build/msi-progress.ini")'" "$msi_build/msi-progress.out" < /dev/null > /dev/null 2>&1) || true
if msi_screen "$msi_build/msi-progress.out" | grep -q '^\[#\{40\}\] *\([0-9]*\)/\1$'; then
    msi_passed "progress bar on a console"
else
    msi_failed "progress bar on a console" "no full bar in $msi_build/msi-progress.out"
fi

# A newer version over it: the same package made again with a higher version
# (as the package-msi target makes it, another version and product code).
msi_major=${msi_version%%.*}
msi_newer=$(( ${msi_major:-0} + 1 )).0
msi_code=$(tr a-f A-F < /proc/sys/kernel/random/uuid)
msi_remove=$(msi_winpath "$msi_file")
if (cd "$msi_build" && wixl -a x64 -D Version=$msi_newer -D ProductCode=$msi_code -D SourceDir=. -D Icon=kestrum.ico \
        -o msi-newer.msi "$msi_src/dist/windows/kestrum.wxs" msi-files.wxs) > "$msi_build/msi-newer.out" 2>&1 &&
   $wine msiexec /i "$(msi_winpath "$msi_build/msi-newer.msi")" /qn >> "$msi_build/msi-newer.out" 2>&1 &&
   [ "$(msi_entries)" = 1 ] &&
   $wine reg query "$msi_uninstall\\{$msi_code}" /v DisplayVersion 2> /dev/null | grep -q "REG_SZ *$msi_newer" &&
   [ -f "$msi_pf/kestrum-cli.exe" ] && [ -f "$msi_menu/Kestrum.lnk" ]; then
    msi_passed "upgrade to $msi_newer"
    msi_remove="{$msi_code}"
else
    msi_failed "upgrade to $msi_newer" "$(msi_entries) entries in Add/Remove Programs"
    cat "$msi_build/msi-newer.out"
fi

# Removed: no file, no folder, no Start-menu entry, no Add/Remove entry.
if $wine msiexec /x "$msi_remove" /qn > "$msi_build/msi-remove.out" 2>&1 &&
   [ ! -e "$msi_pf" ] && [ -z "$(msi_shortcuts)" ] && [ "$(msi_entries)" = 0 ]; then
    msi_passed "msiexec /x"
else
    msi_failed "msiexec /x" "left: $(ls -d "$msi_pf" 2> /dev/null) $(msi_shortcuts) $(msi_entries) entries"
fi

/usr/lib/wine/wineserver -k 2> /dev/null || true
export WINEPREFIX="$msi_prefix" WINEDLLOVERRIDES="$msi_overrides"
rundir=
echo "the MSI's checks took $(( $(date +%s) - msi_start )) s"
