# Installation and packaging.
#
# Linux (`cmake --install`, and the Debian package made by `cpack -G DEB`):
#   <prefix>/lib/quorlane/quorlane, NetworkTCPSetup.rtf, quorlane-unit
#       The program finds the network help document in its own folder. That folder is
#       the folder of the real file (/proc/self/exe), so the links in bin/ work.
#   <prefix>/bin/quorlane, quorlane-unit        relative links to the files above
#   <prefix>/bin/quorlane-ports                 COM port links for the user
#   <prefix>/share/applications/quorlane.desktop, share/icons/hicolor/<n>x<n>/apps/,
#   <prefix>/share/man/man1/
# Windows: the executable and NetworkTCPSetup.rtf side by side in <prefix>/bin; the Qt
# libraries are added with windeployqt (see README).

include(GNUInstallDirs)

set(QUORLANE_HELP_DOC_SOURCE ${PROJECT_SOURCE_DIR}/src/subsystems/help/NetworkTCPSetup.rtf)

if(WIN32)
  install(TARGETS quorlane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QUORLANE_HELP_DOC_SOURCE} DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()
if(NOT UNIX OR APPLE)
  return()
endif()

# Not CMAKE_INSTALL_LIBDIR: on Debian that is lib/<triplet>, a place for libraries.
set(QUORLANE_PROGRAM_DIR lib/quorlane)

install(TARGETS quorlane quorlane-unit RUNTIME DESTINATION ${QUORLANE_PROGRAM_DIR})
install(FILES ${QUORLANE_HELP_DOC_SOURCE} DESTINATION ${QUORLANE_PROGRAM_DIR})
install(TARGETS quorlane-ports RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The links are made once in the build folder and installed as links (install(FILES)
# copies a symbolic link as a link), so they are right under any prefix and DESTDIR.
set(QUORLANE_LINK_DIR ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${QUORLANE_LINK_DIR})
foreach(program quorlane quorlane-unit)
  file(CREATE_LINK ../${QUORLANE_PROGRAM_DIR}/${program} ${QUORLANE_LINK_DIR}/${program} SYMBOLIC)
  install(FILES ${QUORLANE_LINK_DIR}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorlane.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The program's icon, drawn at each size the desktop asks for.
foreach(size 16 32 48 256)
  install(FILES ${PROJECT_SOURCE_DIR}/src/shared/images/quorlane-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME quorlane.png OPTIONAL)
endforeach()

# Manual pages, compressed as Debian wants them when gzip is there.
find_program(QUORLANE_GZIP gzip)
set(QUORLANE_MAN_PAGES quorlane.1 quorlane-ports.1 quorlane-unit.1)
set(QUORLANE_MAN_OUTPUTS)
foreach(page ${QUORLANE_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/packaging/${page})
  if(QUORLANE_GZIP)
    set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_BINARY_DIR}/man/${page}
      COMMAND ${QUORLANE_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${page}
      DEPENDS ${source} VERBATIM)
  else()
    set(output ${source})
  endif()
  list(APPEND QUORLANE_MAN_OUTPUTS ${output})
endforeach()
add_custom_target(quorlane_manpages ALL DEPENDS ${QUORLANE_MAN_OUTPUTS})
install(FILES ${QUORLANE_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- Debian package: cpack -G DEB ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorlane)
set(CPACK_PACKAGE_VENDOR "Quorlane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorlane maintainers <maintainers@quorlane.invalid>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test terminal for the controller unit (serial and TCP/IP)")
set(CPACK_PACKAGE_DESCRIPTION "\
Quorlane talks to one controller unit over a serial port (19200 8N1) and over
TCP/IP, shows everything the unit sends in one receive box and keeps it in a
receive log. quorlane-ports shows the serial devices of the machine and links
one as a COM port, and quorlane-unit stands in for the unit in demonstrations.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The Qt libraries and zstd come from the system. dpkg-shlibdeps (dpkg-dev) names them
# with the versions built against; CPack needs `file` to find the executables. Without
# either, the list is given by hand. The fonts are looked up by name, so no library names
# them.
set(QUORLANE_DEB_FONTS "fonts-liberation | fonts-dejavu-core")
find_program(QUORLANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QUORLANE_FILE_COMMAND file)
if(QUORLANE_DPKG_SHLIBDEPS AND QUORLANE_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${QUORLANE_DEB_FONTS}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34)" "libstdc++6 (>= 12)" "libgcc-s1"
    "libqt6core6 (>= 6.4)" "libqt6gui6 (>= 6.4)" "libqt6widgets6 (>= 6.4)"
    "libqt6network6 (>= 6.4)" "libqt6serialport6 (>= 6.4)" "libzstd1 (>= 1.4)"
    "${QUORLANE_DEB_FONTS}")
endif()
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
