# speexdsp::static: the resampler that converts a record stream whose device
# clock runs off the system's, and the echo canceller, linked statically so
# that the programs need no DSP library on the machines they run on. Debian
# ships it in libspeexdsp-dev; its float build calls into libm.
find_path(SPEEXDSP_INCLUDE_DIR speex/speex_resampler.h REQUIRED)
find_library(SPEEXDSP_STATIC_LIBRARY NAMES libspeexdsp.a REQUIRED)
find_library(MATH_LIBRARY m REQUIRED)
if(NOT TARGET speexdsp::static)
  add_library(speexdsp::static STATIC IMPORTED)
  set_target_properties(speexdsp::static PROPERTIES
    IMPORTED_LOCATION "${SPEEXDSP_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SPEEXDSP_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${MATH_LIBRARY}")
endif()
