# The harness sources, shared by the AFL build (fuzz/CMakeLists.txt) and the
# corpus replay tests (tests/fuzz).
set(TAVIKREC_FUZZ_HARNESS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TAVIKREC_FUZZ_HARNESS_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_check.cc
  ${CMAKE_CURRENT_LIST_DIR}/arguments_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/frame_reader_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/json_escape_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/library_version_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/normalize_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/sample_assembler_target.cc
  ${CMAKE_CURRENT_LIST_DIR}/utf8_decode_target.cc
)
set(TAVIKREC_FUZZ_TARGETS
  arguments normalize json_escape utf8_decode library_version sample_assembler frame_reader)
