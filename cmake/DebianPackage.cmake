# The Debian package, made by CPack: `cmake --build build --target package`
# (or `cd build && cpack -G DEB`) gives build/kestrum_VERSION_ARCH.deb with the
# programs in /usr/bin, the desktop entries, the icon, the udev rule in
# /usr/lib/udev/rules.d, the manual pages, and the README and copyright in
# /usr/share/doc/kestrum.
# tools/deb-test.sh installs, runs and removes it.
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kestrum)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)   # whatever CMAKE_INSTALL_PREFIX the build has
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)    # kestrum_1.0_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrum developers <kestrum@example.org>"
      CACHE STRING "The Debian package's Maintainer field")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "configurator for the Brisal GSM alarm module
Kestrum configures and monitors the Brisal GSM alarm and remote-control
module, over USB or through a GSM modem data call: it reads and writes the
module's settings, saves and loads them as INI files, sets the call audio
levels, and shows live status and the device log, in English, Hungarian and
Romanian. A site database, a local file or a team's PostgreSQL server,
keeps what was read and written at each site.

kestrum is the window: the volume tool, or the whole configurator with
--full. kestrum-cli does the same work from the command line, for
installers who set up many modules alike. A udev rule gives the user logged
in at the machine access to the module on USB.")
  # The libraries the programs link, from the programs themselves
  # (dpkg-shlibdeps); Qt's platform plugins (xcb, offscreen) come with
  # libqt6gui6. What Qt loads as a plugin is named here: the SQLite driver
  # for the site database; the PostgreSQL driver for a team's server and
  # Qt's own Hungarian texts (its dialogs) are recommended.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql, qt6-translations-l10n")
  # postinst and postrm make udev take the rule, or let go of it, at once.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/dist/debian/postinst
                                         ${CMAKE_SOURCE_DIR}/dist/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The documentation, the manual pages, the programs' notes and the rule's
  # place: see there.
  set(CPACK_KESTRUM_SOURCE_DIR ${CMAKE_SOURCE_DIR})
  set(CPACK_KESTRUM_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/dist/debian/stage.cmake)
  include(CPack)
endif()
