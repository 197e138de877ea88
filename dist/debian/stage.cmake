# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the files installed for the Debian
# package, before it packs them: the documentation and manual pages as Debian
# lays them out, the programs stripped as Debian strips them, and the udev rule
# where Debian's udev reads it.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(doc ${root}/usr/share/doc/kestrum)
file(MAKE_DIRECTORY ${doc})

function(gzip_to source target)
  # -n: no name or time inside, so the same input gives the same bytes.
  execute_process(COMMAND gzip -9 -n -c ${source} OUTPUT_FILE ${target} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source}: ${failed}")
  endif()
  file(CHMOD ${target} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(COPY ${CPACK_KESTRUM_SOURCE_DIR}/dist/debian/copyright DESTINATION ${doc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_to(${CPACK_KESTRUM_SOURCE_DIR}/README.md ${doc}/README.md.gz)
# One entry for the version packaged (the package is built from Kestrum's own
# tree: its changelog is changelog.gz, no changelog.Debian.gz). The dates are
# SOURCE_DATE_EPOCH's when it is set.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP day "%Y-%m-%d" UTC)
file(WRITE ${CPACK_TOPLEVEL_DIRECTORY}/changelog
"kestrum (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Kestrum ${CPACK_PACKAGE_VERSION}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}
")
gzip_to(${CPACK_TOPLEVEL_DIRECTORY}/changelog ${doc}/changelog.gz)

set(man ${root}/usr/share/man/man1)
file(MAKE_DIRECTORY ${man})
foreach(page kestrum.1 kestrum-cli.1)
  file(READ ${CPACK_KESTRUM_SOURCE_DIR}/dist/debian/${page} text)
  string(REPLACE "@VERSION@" "${CPACK_PACKAGE_VERSION}" text "${text}")
  string(REPLACE "@DATE@" "${day}" text "${text}")
  file(WRITE ${CPACK_TOPLEVEL_DIRECTORY}/${page} "${text}")
  gzip_to(${CPACK_TOPLEVEL_DIRECTORY}/${page} ${man}/${page}.gz)
endforeach()

# CPack has stripped the symbols; the compiler's version strings (.comment) and
# the .note section go too, as Debian strips its programs.
foreach(program kestrum kestrum-cli)
  execute_process(COMMAND ${CPACK_KESTRUM_STRIP} --remove-section=.comment --remove-section=.note
                          ${root}/usr/bin/${program} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CPACK_KESTRUM_STRIP} ${program}: ${failed}")
  endif()
endforeach()

# The rule was installed under KESTRUM_UDEV_RULES_DIR, which follows the
# building machine's udev (/lib/udev on some). Debian's udev reads
# /usr/lib/udev/rules.d on every system, merged /usr or not.
set(rules_dir ${root}/usr/lib/udev/rules.d)
file(GLOB_RECURSE rules LIST_DIRECTORIES false ${root}/*/70-kestrum.rules)
list(REMOVE_ITEM rules ${rules_dir}/70-kestrum.rules)
foreach(rule ${rules})
  file(MAKE_DIRECTORY ${rules_dir})
  file(RENAME ${rule} ${rules_dir}/70-kestrum.rules)
  # The folders it leaves empty go too.
  get_filename_component(dir ${rule} DIRECTORY)
  while(NOT dir STREQUAL "${root}")
    file(GLOB left ${dir}/*)
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE ${dir})
    get_filename_component(dir ${dir} DIRECTORY)
  endwhile()
endforeach()
