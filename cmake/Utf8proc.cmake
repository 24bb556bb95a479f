# utf8proc::static: the Unicode library behind the comparison form of device
# texts (NFC and the White_Space rule), linked statically so that the
# programs need no Unicode library on the machines they run on. Debian ships
# it in libutf8proc-dev.
find_path(UTF8PROC_INCLUDE_DIR utf8proc.h REQUIRED)
find_library(UTF8PROC_STATIC_LIBRARY NAMES libutf8proc.a REQUIRED)
if(NOT TARGET utf8proc::static)
  add_library(utf8proc::static STATIC IMPORTED)
  set_target_properties(utf8proc::static PROPERTIES
    IMPORTED_LOCATION "${UTF8PROC_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UTF8PROC_INCLUDE_DIR}")
endif()
