# Installation and the Debian package (CPack): the three programs under
# /usr/bin, the desktop entry and its icon, AppStream metadata, the manual
# pages and /usr/share/doc/mitu (copyright, changelog, the JSON report's
# schema, an example settings file). `cpack` in the build tree (or
# scripts/package.sh) builds it.
include(GNUInstallDirs)

set(MITU_APP_ID org.mitu.Mitu) # desktop entry, icon and metadata share it
set(_packaging ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS mitu mitu-check mitu-ftp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_packaging}/${MITU_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_packaging}/${MITU_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The window's own icon, under the entry's name.
install(FILES ${PROJECT_SOURCE_DIR}/app/resources/mitu.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${MITU_APP_ID}.svg)

# Manual pages go compressed, as Debian keeps them.
set(_manpages)
foreach(page mitu.1 mitu-check.1 mitu-ftp.1)
  set(_compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${_compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${_packaging}/man/${page} > ${_compressed}
    DEPENDS ${_packaging}/man/${page}
    VERBATIM)
  list(APPEND _manpages ${_compressed})
endforeach()
add_custom_target(manpages ALL DEPENDS ${_manpages})
install(FILES ${_manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package's revision of the program's version (0.1.0-1): its changelog
# is Debian's, changelog.Debian.gz, whose latest entry names both.
set(MITU_PACKAGE_RELEASE 1)
file(STRINGS ${_packaging}/changelog _latest LIMIT_COUNT 1)
if(NOT _latest MATCHES "^mitu \\(${PROJECT_VERSION}-${MITU_PACKAGE_RELEASE}\\) ")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not for "
                      "${PROJECT_VERSION}-${MITU_PACKAGE_RELEASE}: ${_latest}")
endif()
set(_changelog ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND gzip -9n -c ${_packaging}/changelog > ${_changelog}
  DEPENDS ${_packaging}/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${_changelog})
set(_docdir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
install(FILES ${_packaging}/copyright ${_changelog} ${PROJECT_SOURCE_DIR}/docs/report.md
        DESTINATION ${_docdir})
install(FILES ${_packaging}/mitu.conf DESTINATION ${_docdir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mitu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MITU_PACKAGE_RELEASE})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Microphone and Internet Test Utility: checks before a voice conference")
set(CPACK_PACKAGE_DESCRIPTION
    "A participant of an online voice conference runs this utility before joining\n\
a room. It records and plays back the microphone, plays a spoken text and a\n\
sample through the speakers, measures the round trip to the service's server\n\
and rates the upload and download bandwidth. mitu-check runs all four checks\n\
from a terminal (connection, bandwidth, microphone levels, speakers) and writes\n\
a JSON report for a help desk; mitu-ftp is a command-line FTP client on the\n\
same library. A help desk points the checks at its service in\n\
/etc/xdg/mitu/mitu.conf.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://mitu.example.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "mitu developers <mitu@mitu.example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The libraries come from dpkg-shlibdeps; what the programs load at run time
# is named here: Qt's display plugins, a speech engine plugin,
# the sound server's client library, and the font the window is laid out
# for (Liberation Sans; app/widgets.cpp). The volume control opened from the
# explanation window, a sound server and a speech service are recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, qt6-speech-speechd-plugin | qt6-speech-flite-plugin, libpulse0, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pavucontrol, pulseaudio | pipewire-pulse, speech-dispatcher, qt6-wayland")
include(CPack)
