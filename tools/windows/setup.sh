#!/bin/sh
# Once per machine: the tools and libraries for Kestrum's Windows build, all
# from Debian. Installs mingw-w64, Wine and Xvfb, fetches Debian's source
# packages of Qt, hidapi, SQLite and PostgreSQL, and builds them (of
# PostgreSQL its client library) for Windows into a cache folder outside the
# source tree (KESTRUM_WINDOWS_CACHE, default ~/.cache/kestrum-windows).
# A second run finds the cache and the tools and does nothing.
set -e
here=$(cd "$(dirname "$0")" && pwd)
cache=${KESTRUM_WINDOWS_CACHE:-$HOME/.cache/kestrum-windows}
sudo=; [ "$(id -u)" = 0 ] || sudo=sudo

# Tools: the compilers, Wine, a display for it, and Debian's own Qt host
# tools; for the packages, the icon's makers (rsvg-convert, icotool, also
# wrestool to read resources back) and wixl for the MSI.
need="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 xvfb xauth
      cmake ninja-build dpkg-dev qt6-base-dev qt6-base-dev-tools qt6-translations-l10n tcl make
      librsvg2-bin icoutils wixl"
missing=$(for p in $need; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"; done)
if [ -z "$missing" ] && [ -f "$cache/qt/.sql-done" ] && [ -f "$cache/hidapi/.done" ] && [ -f "$cache/sqlite/.done" ] &&
   [ -f "$cache/pgsql/.done" ] && [ -f "$cache/qt/.psql-done" ]; then
    echo "Windows tool chain already in $cache"
    exit 0
fi
# Debian's source packages: a deb-src line for the same archive.
src=/etc/apt/sources.list.d/kestrum-deb-src.sources
if [ ! -f "$src" ]; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
        $sudo tee "$src" > /dev/null
    fresh=1
fi
if [ -n "$missing" ] || [ -n "$fresh" ]; then
    $sudo apt-get update -q
    [ -z "$missing" ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi

mkdir -p "$cache/src"
cd "$cache/src"
ls -d qt6-base-*/ > /dev/null 2>&1 || apt-get source -q qt6-base
ls -d hidapi-*/ > /dev/null 2>&1 || apt-get source -q hidapi
ls -d sqlite3-*/ > /dev/null 2>&1 || apt-get source -q sqlite3
ls -d postgresql-15-*/ > /dev/null 2>&1 || apt-get source -q postgresql-15
qtsrc=$(ls -d "$cache"/src/qt6-base-*/ | head -n 1)
hidsrc=$(ls -d "$cache"/src/hidapi-*/ | head -n 1)
sqlsrc=$(ls -d "$cache"/src/sqlite3-*/ | head -n 1)
pgsrc=$(ls -d "$cache"/src/postgresql-15-*/ | head -n 1)

# SQLite, for Qt's QSQLITE driver (Debian's Qt source carries none): the
# amalgamation made on this machine (it needs tclsh), then built as a DLL
# with the column metadata the driver asks for.
if [ ! -f "$cache/sqlite/.done" ]; then
    rm -rf "$cache/sqlite-build" && mkdir -p "$cache/sqlite-build" && cd "$cache/sqlite-build"
    "$sqlsrc/configure" > /dev/null && make sqlite3.c > /dev/null
    mkdir -p "$cache/sqlite/include" "$cache/sqlite/lib" "$cache/sqlite/bin"
    cp sqlite3.h "$cache/sqlite/include/"
    x86_64-w64-mingw32-gcc-posix -O2 -shared -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA sqlite3.c -o "$cache/sqlite/bin/sqlite3.dll" \
        -Wl,--out-implib,"$cache/sqlite/lib/libsqlite3.dll.a"
    touch "$cache/sqlite/.done"
    cd "$cache/src"
fi

# Qt: Core, Gui, Widgets, PrintSupport, Sql with the SQLite driver, Test and
# the Windows platform plugin.
# Debian's host tools (moc, rcc, uic) serve the cross build. No OpenGL (and so
# no dynamic GL), no ICU, no tablet events (Debian's source drops the Wintab
# header), the bundled zlib, png, jpeg, freetype, harfbuzz and pcre2.
if [ ! -f "$cache/qt/.sql-done" ]; then
    start=$(date +%s)
    cmake -S "$qtsrc" -B "$cache/qt-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$cache/qt" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON -DFEATURE_sql_psql=OFF \
        -DFEATURE_sql_odbc=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF \
        -DFEATURE_sql_db2=OFF \
        -DSQLite3_INCLUDE_DIR="$cache/sqlite/include" -DSQLite3_LIBRARY="$cache/sqlite/lib/libsqlite3.dll.a" \
        -DFEATURE_network=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_xml=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
        -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_doubleconversion=OFF
    cmake --build "$cache/qt-build" --parallel 2
    cmake --install "$cache/qt-build"
    touch "$cache/qt/.done" "$cache/qt/.sql-done"
    echo "Qt for Windows built in $(( $(date +%s) - start )) s"
fi

# libpq, PostgreSQL's client library, for Qt's QPSQL driver: configured inside
# the source tree (a configure from another folder fails there), without
# TLS. Its import library is the libpq.a the build leaves beside the DLL.
if [ ! -f "$cache/pgsql/.done" ]; then
    start=$(date +%s)
    cd "$pgsrc"
    [ -f src/include/pg_config.h ] ||
        ./configure -q --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
            --without-readline --without-zlib --without-icu --without-openssl
    nice make -s -j2 -C src/interfaces/libpq
    rm -rf "$cache/pgsql"
    mkdir -p "$cache/pgsql/include" "$cache/pgsql/lib" "$cache/pgsql/bin"
    cp src/interfaces/libpq/libpq-fe.h src/interfaces/libpq/libpq-events.h src/include/postgres_ext.h \
        src/include/pg_config.h src/include/pg_config_ext.h "$cache/pgsql/include/"
    cp src/interfaces/libpq/libpq.a "$cache/pgsql/lib/libpq.dll.a"
    cp src/interfaces/libpq/libpq.dll "$cache/pgsql/bin/"
    touch "$cache/pgsql/.done"
    echo "libpq for Windows built in $(( $(date +%s) - start )) s"
    cd "$cache/src"
fi

# Qt's QPSQL plugin alone: Qt's SQL drivers folder is a CMake project of its
# own against the Qt installed above, so Qt itself is not built again.
if [ ! -f "$cache/qt/.psql-done" ]; then
    start=$(date +%s)
    rm -rf "$cache/qt-psql-build"
    KESTRUM_WINDOWS_PREFIX="$cache/qt;$cache/pgsql" cmake -S "$qtsrc/src/plugins/sqldrivers" -B "$cache/qt-psql-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$cache/qt" -DCMAKE_PREFIX_PATH="$cache/qt;$cache/pgsql" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DFEATURE_sql_psql=ON -DFEATURE_sql_sqlite=OFF -DFEATURE_sql_odbc=OFF -DFEATURE_sql_mysql=OFF \
        -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF -DFEATURE_sql_db2=OFF \
        -DPostgreSQL_INCLUDE_DIR="$cache/pgsql/include" -DPostgreSQL_LIBRARY="$cache/pgsql/lib/libpq.dll.a"
    nice cmake --build "$cache/qt-psql-build" --parallel 2
    cmake --install "$cache/qt-psql-build"
    touch "$cache/qt/.psql-done"
    echo "Qt's QPSQL plugin for Windows built in $(( $(date +%s) - start )) s"
fi

# hidapi: its Windows backend, as a DLL with an import library.
if [ ! -f "$cache/hidapi/.done" ]; then
    mkdir -p "$cache/hidapi/include/hidapi" "$cache/hidapi/lib" "$cache/hidapi/bin"
    cp "$hidsrc/hidapi/hidapi.h" "$hidsrc/windows/hidapi_winapi.h" "$cache/hidapi/include/hidapi/" 2>/dev/null ||
        cp "$hidsrc/hidapi/hidapi.h" "$cache/hidapi/include/hidapi/"
    x86_64-w64-mingw32-gcc-posix -O2 -shared -I"$hidsrc/hidapi" -I"$hidsrc/windows" "$hidsrc/windows/hid.c" \
        -o "$cache/hidapi/bin/hidapi.dll" -Wl,--out-implib,"$cache/hidapi/lib/libhidapi.dll.a" -lsetupapi
    touch "$cache/hidapi/.done"
fi
echo "Windows tool chain ready in $cache"
