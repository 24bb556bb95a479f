# Install rules for the manual pages and the licence notes, and the Debian
# package that cpack builds from everything installed.
#   cmake --install build --prefix /usr/local
#   (cd build && cpack)      -> build/tavikrec_<version>-1_<arch>.deb
include(GNUInstallDirs)

set(TAVIKREC_PACKAGE_MAINTAINER "tavikrec developers <devel@tavikrec.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
# The package's own revision, after the project version: 0.1.0-1. Without
# one, Debian takes the package for a native one and wants changelog.gz.
set(TAVIKREC_DEBIAN_REVISION 1)

# The manual pages and the Debian changelog carry the project version, filled
# in here; Debian wants all three compressed, without a time stamp in the
# gzip header so that the same sources give the same package.
find_program(TAVIKREC_GZIP gzip REQUIRED)
set(docs_dir ${PROJECT_BINARY_DIR}/packaging)
set(compressed_docs)
foreach(source IN ITEMS docs/tavikrec.1 docs/tavikrec-inspect.1 packaging/changelog.Debian.in)
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  configure_file(${PROJECT_SOURCE_DIR}/${source} ${docs_dir}/${name} @ONLY)
  add_custom_command(OUTPUT ${docs_dir}/${name}.gz
    COMMAND ${TAVIKREC_GZIP} -9n -c ${docs_dir}/${name} > ${docs_dir}/${name}.gz
    DEPENDS ${docs_dir}/${name}
    VERBATIM)
  list(APPEND compressed_docs ${docs_dir}/${name}.gz)
endforeach()
add_custom_target(tavikrec_docs ALL DEPENDS ${compressed_docs})

install(FILES ${docs_dir}/tavikrec.1.gz ${docs_dir}/tavikrec-inspect.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${docs_dir}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tavikrec)

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
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TAVIKREC_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVIKREC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# dpkg-shlibdeps derives Depends from the libraries the binaries really load
# (libpulse0 and libc6); without it, name them, with the newest glibc symbol
# version the programs use (tests/release checks that figure).
find_program(TAVIKREC_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVIKREC_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${TAVIKREC_NEWEST_GLIBC}), libpulse0")
endif()

include(CPack)
