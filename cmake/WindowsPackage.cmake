# The Windows executables: icon, version and manifest; the MSI (package-msi).
if(NOT WIN32)
  return()
endif()
enable_language(RC)

# The icon, drawn from the project's drawing at the sizes Windows asks for
# (256 kept as PNG inside the .ico, as Windows does since Vista).
find_program(RSVG_CONVERT rsvg-convert REQUIRED)   # Debian's librsvg2-bin
find_program(ICOTOOL icotool REQUIRED)             # Debian's icoutils
set(KESTRUM_ICO ${CMAKE_BINARY_DIR}/kestrum.ico)
set(icon_pngs)
set(icon_commands)
foreach(size 16 24 32 48 64 256)
  set(png ${CMAKE_BINARY_DIR}/icon/kestrum-${size}.png)
  list(APPEND icon_commands
       COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${CMAKE_SOURCE_DIR}/dist/kestrum.svg)
  if(size EQUAL 256)
    list(APPEND icon_pngs -r ${png})
  else()
    list(APPEND icon_pngs ${png})
  endif()
endforeach()
add_custom_command(OUTPUT ${KESTRUM_ICO}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icon
  ${icon_commands}
  COMMAND ${ICOTOOL} -c -o ${KESTRUM_ICO} ${icon_pngs}
  DEPENDS ${CMAKE_SOURCE_DIR}/dist/kestrum.svg
  COMMENT "Making kestrum.ico"
  VERBATIM)

# One resource file per program, from the same template: the icon, a
# VERSIONINFO with the project's version, the manifest.
set(KESTRUM_VERSION_4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
if(NOT "${PROJECT_VERSION_PATCH}" STREQUAL "")
  set(KESTRUM_VERSION_4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
endif()
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(KESTRUM_VERSION_4 ${PROJECT_VERSION})
endif()
string(REPLACE "." "," KESTRUM_VERSION_COMMAS ${KESTRUM_VERSION_4})
function(kestrum_windows_resources target description)
  set(KESTRUM_RC_NAME ${target})
  set(KESTRUM_RC_DESCRIPTION ${description})
  set(KESTRUM_RC_MANIFEST ${CMAKE_BINARY_DIR}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/dist/windows/kestrum.manifest.in ${KESTRUM_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/dist/windows/resources.rc.in ${CMAKE_BINARY_DIR}/${target}.rc @ONLY)
  set_source_files_properties(${CMAKE_BINARY_DIR}/${target}.rc PROPERTIES
                              OBJECT_DEPENDS "${KESTRUM_ICO};${KESTRUM_RC_MANIFEST}")
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/${target}.rc)
endfunction()
kestrum_windows_resources(kestrum "Kestrum")   # Task Manager shows it as the name
kestrum_windows_resources(kestrum-cli "Kestrum command-line tool")
# The window program starts without a console; kestrum-cli is a console program.
set_target_properties(kestrum PROPERTIES WIN32_EXECUTABLE ON)

# The MSI: the files of package-zip's folder (listed by wixl-heat, so the
# two packages never differ), installed into Program Files\Kestrum, with the
# Start-menu entries and the Add/Remove Programs icon (dist/windows/kestrum.wxs).
set(MSI_STAGE Kestrum-${PROJECT_VERSION}-win64)   # package-zip's folder
set(MSI_FILE ${CMAKE_BINARY_DIR}/Kestrum-${PROJECT_VERSION}-win64.msi)
# One product code per version, always the same for it.
string(UUID MSI_PRODUCT_CODE NAMESPACE 6E0EEF63-B4D8-41F6-B0D5-8DB3B04CF10D NAME "Kestrum ${PROJECT_VERSION}"
       TYPE SHA1 UPPER)
find_program(WIXL wixl)              # Debian's wixl
find_program(WIXL_HEAT wixl-heat)
if(WIXL AND WIXL_HEAT)
  add_custom_target(package-msi
    COMMAND ${CMAKE_COMMAND} -E rm -f ${MSI_FILE}
    COMMAND find ./${MSI_STAGE} -type f | sort | ${WIXL_HEAT} -p ./ --directory-ref ProgramFiles64Folder
            --component-group AppFiles --var var.SourceDir | sed -f ${CMAKE_SOURCE_DIR}/dist/windows/msi-files.sed
            > msi-files.wxs
    # wixl takes no absolute paths for the files: they are relative to the build folder.
    COMMAND ${WIXL} -a x64 -D Version=${PROJECT_VERSION} -D ProductCode=${MSI_PRODUCT_CODE}
            -D SourceDir=. -D Icon=kestrum.ico -o ${MSI_FILE}
            ${CMAKE_SOURCE_DIR}/dist/windows/kestrum.wxs msi-files.wxs
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${KESTRUM_ICO} ${CMAKE_SOURCE_DIR}/dist/windows/kestrum.wxs
            ${CMAKE_SOURCE_DIR}/dist/windows/msi-files.sed
    COMMENT "Making Kestrum-${PROJECT_VERSION}-win64.msi"
    VERBATIM)
else()
  add_custom_target(package-msi
    COMMAND ${CMAKE_COMMAND} -E echo "package-msi needs wixl and wixl-heat (Debian package wixl)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
add_dependencies(package-msi package-zip)
