# Test helpers. Every test carries the label of the src/ folder it tests;
# tests that start a server or another process also carry "integration".
find_package(GTest REQUIRED)
include(GoogleTest)

# tavir_add_test(<exe> LABELS <labels>... SOURCES <files>... [LIBS <targets>...]
#                [TIMEOUT <seconds>])
function(tavir_add_test exe)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${exe} ${ARG_SOURCES})
  target_link_libraries(${exe} PRIVATE ${ARG_LIBS} tavir_test_support
                        GTest::gmock GTest::gtest_main)
  # gtest_discover_tests splits a list-valued property into separate words,
  # which shifts every property after it (a second label became a property
  # name and the time-out was lost): the properties are set whole on the
  # discovered tests after they are loaded.
  set(_properties "LABELS \"${ARG_LABELS}\" TIMEOUT ${ARG_TIMEOUT}")
  if(TAVIR_TSAN)
    # Reports inside Qt, which is not instrumented, are not ours to mend.
    string(APPEND _properties " ENVIRONMENT_MODIFICATION \"TSAN_OPTIONS=string_append:::"
           "suppressions=${PROJECT_SOURCE_DIR}/tests/tsan-suppressions.txt\"")
  endif()
  gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60)
  set(_properties_file "${CMAKE_CURRENT_BINARY_DIR}/${exe}_properties.cmake")
  file(WRITE "${_properties_file}"
    "if(${exe}_TESTS)\n"
    "  set_tests_properties(\${${exe}_TESTS} PROPERTIES ${_properties})\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_properties_file}")
endfunction()

# tavir_add_test_folder(<label> LIBS <targets>...)
# Unit tests are the folder's *_test.cpp files (label <label>); tests that
# start a server or another process are its *_itest.cpp files (labels
# <label> and integration). Each file becomes its own executable so that
# one broken area never stops another from running.
function(tavir_add_test_folder label)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _unit CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB _integration CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_itest.cpp)
  string(REPLACE "/" "_" _prefix "${label}")
  foreach(_file ${_unit})
    get_filename_component(_stem ${_file} NAME_WE)
    tavir_add_test(${_prefix}_${_stem} LABELS ${label} SOURCES ${_file} LIBS ${ARG_LIBS})
  endforeach()
  foreach(_file ${_integration})
    get_filename_component(_stem ${_file} NAME_WE)
    tavir_add_test(${_prefix}_${_stem} LABELS "${label};integration" SOURCES ${_file}
                   LIBS ${ARG_LIBS} TIMEOUT 300)
  endforeach()
endfunction()
