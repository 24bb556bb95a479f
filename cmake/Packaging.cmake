# Install rules for the manual pages and the Debian package that cpack builds
# from everything installed (the two programs and their manual pages).
#   cmake --install build --prefix /usr/local
#   (cd build && cpack)      -> build/tavikrec_<version>_<arch>.deb
include(GNUInstallDirs)

install(FILES
  ${PROJECT_SOURCE_DIR}/docs/tavikrec.1
  ${PROJECT_SOURCE_DIR}/docs/tavikrec-inspect.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(TAVIKREC_PACKAGE_MAINTAINER "tavikrec developers <devel@tavikrec.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavikrec)
set(CPACK_PACKAGE_CONTACT "${TAVIKREC_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "record the microphone and the sound output as time-stamped frames")
set(CPACK_PACKAGE_DESCRIPTION
  "tavikrec records the microphone and/or the monitor of the default output
device through the PulseAudio client library (PulseAudio or PipeWire's pulse
server) and writes 16 kHz mono 16-bit audio to standard output as tagged,
time-stamped 200 ms frames for a parent program. It also lists the input
devices as one JSON line. tavikrec-inspect checks and summarises a frame
stream and writes it out as WAV files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVIKREC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# dpkg-shlibdeps derives Depends from the libraries the binaries really load
# (libpulse0, libicu72, libstdc++6, libc6...); without it, name Debian 12's.
find_program(TAVIKREC_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVIKREC_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpulse0, libicu72, libstdc++6, libgcc-s1, libc6")
endif()

include(CPack)
