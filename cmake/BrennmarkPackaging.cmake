# Installation and the Debian package: the programs in bin/, brennmarkd's systemd
# units, the desktop entry and icon in their freedesktop places, brennmark-cli's
# bash completion, man pages made from each
# program's --help. `cpack` (scripts/package) builds brennmark_VERSION_ARCH.deb.
# On Windows (scripts/package --windows) the programs and README.txt go in one
# folder, zipped by CPack: brennmark-VERSION-win64.zip.
include(GNUInstallDirs)

# Without Qt (BM_WITH_QT=OFF) only the simulated unit is built; on Windows the
# command line and the service need no Qt either.
if(BM_WITH_QT)
  set(BM_PROGRAMS brennmark brennmark-cli brennmarkd ridaziv-sim)
elseif(WIN32)
  set(BM_PROGRAMS brennmark-cli ridaziv-sim)
else()
  set(BM_PROGRAMS ridaziv-sim)
endif()
if(TARGET brennmarkd)
  list(APPEND BM_PROGRAMS brennmarkd)
endif()

if(WIN32)
  install(TARGETS ${BM_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/windows/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME brennmark)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "Tollvane")
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  # The installer (NSIS, when makensis is there: Debian's nsis): the same
  # files in Program Files\Brennmark, a Start menu entry that starts the
  # service in a console, and an uninstaller. The README is the page shown
  # before the installation. (CPack's option to put the folder on the PATH
  # adds a bin\ folder this flat layout does not have, so it is left off.)
  find_program(BM_MAKENSIS makensis)
  if(BM_MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY Brennmark)
    set(CPACK_NSIS_DISPLAY_NAME "Brennmark ${PROJECT_VERSION}")
    set(CPACK_NSIS_PACKAGE_NAME "Brennmark ${PROJECT_VERSION}")
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/resources/windows/README.txt)
    set(CPACK_PACKAGE_EXECUTABLES brennmarkd "Brennmark service")
    # The zip keeps its top folder; the installer has none.
    file(WRITE ${CMAKE_BINARY_DIR}/BrennmarkCPackOptions.cmake
         "if(CPACK_GENERATOR STREQUAL \"NSIS\")\n  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)\nendif()\n")
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/BrennmarkCPackOptions.cmake)
  endif()
  include(CPack)
  return()
endif()

install(TARGETS ${BM_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/resources/brennmark.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/brennmark.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
# brennmark-cli's bash completion, where bash-completion loads it on demand.
if(BM_WITH_QT)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/brennmark-cli.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brennmark-cli)
endif()

# brennmarkd's systemd units: one for a user's session, one for the machine
# (socket in /run/brennmark/, group dialout, 0660).
# The program's path is the one it is installed at (the package's /usr, or
# the prefix of `cmake --install`), so the units are written at install time.
if(BM_WITH_QT)
  foreach(kind user system)
    set(unit ${CMAKE_BINARY_DIR}/systemd/${kind}/brennmarkd.service)
    install(CODE "
      file(READ \"${CMAKE_SOURCE_DIR}/service/brennmarkd-${kind}.service.in\" text)
      string(REPLACE \"@CMAKE_INSTALL_FULL_BINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\" text \"\${text}\")
      file(WRITE \"${unit}\" \"\${text}\")")
    install(FILES ${unit} DESTINATION lib/systemd/${kind})
  endforeach()
endif()

# Man pages, one per program, rebuilt when the program is.
set(BM_MAN_SUMMARY_brennmark "control panel for the Ridaziv DE-1 and ZA-2")
set(BM_MAN_SUMMARY_brennmark-cli "command-line control of the Ridaziv DE-1 and ZA-2")
set(BM_MAN_SUMMARY_brennmarkd "the service that shares a Ridaziv DE-1 or ZA-2 among the panel, scripts and automation")
set(BM_MAN_SUMMARY_ridaziv-sim "a simulated Ridaziv DE-1 or ZA-2 on a pseudo-terminal")
set(BM_MAN_COMMANDS_brennmark-cli "status;controls;params;get;set;ir;watch;save;restore;diff")
set(BM_MAN_PAGES)
foreach(program ${BM_PROGRAMS})
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            "-DSUMMARY=${BM_MAN_SUMMARY_${program}}" "-DCOMMANDS=${BM_MAN_COMMANDS_${program}}"
            -DOUTPUT=${page} -P ${CMAKE_SOURCE_DIR}/cmake/make_man.cmake
    DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/make_man.cmake
    COMMENT "Man page ${program}.1"
    VERBATIM)
  list(APPEND BM_MAN_PAGES ${page})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${BM_MAN_PAGES})
install(FILES ${BM_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package. dpkg-shlibdeps names the runtime packages the programs
# actually link (Qt 6, the C++ runtime, libc).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brennmark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tollvane")
set(CPACK_PACKAGE_CONTACT "Brennmark developers <brennmark@tollvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control panel for the Ridaziv DE-1 and ZA-2 audio processors")
set(CPACK_PACKAGE_DESCRIPTION
    "Brennmark drives the Ridaziv DE-1 and ZA-2 home-theatre processors over their RS-232 line\n"
    "(or a serial line behind an IP bridge): a Qt control panel, brennmark-cli for scripts,\n"
    "brennmarkd, a service that shares the unit among them and automation,\n"
    "and ridaziv-sim, a simulated unit.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
