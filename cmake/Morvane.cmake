# Project-wide build helpers.

set(MORVANE_WARNINGS -Wall -Wextra -Wformat=2 -Wno-missing-field-initializers)
if(MORVANE_WERROR)
  list(APPEND MORVANE_WARNINGS -Werror)
endif()

if(MORVANE_SANITIZE)
  string(REPLACE ";" "," _san "${MORVANE_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_san})
endif()

# morvane_target(<target>): our warnings on one of our own targets.
function(morvane_target target)
  target_compile_options(${target} PRIVATE ${MORVANE_WARNINGS})
endfunction()

# morvane_windows_named_library(<target>): a shared library that keeps the file
# name its callers know it by (OUTPUT_NAME given by the caller, no "lib" prefix).
function(morvane_windows_named_library target file_name)
  get_filename_component(_base ${file_name} NAME_WLE)
  get_filename_component(_ext ${file_name} LAST_EXT)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${_base} SUFFIX ${_ext})
endfunction()

# morvane_gtest(<name> SOURCES ... LIBS ... [LABELS ...]): one GoogleTest program,
# its cases registered with CTest one by one.
function(morvane_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  morvane_target(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()

# morvane_version_resource(<target> FILE_VERSION a.b.c.d [PRODUCT_VERSION a.b.c.d]
#                          [VALUES "Name=Text" ...])
# Gives <target> its version resource: a fixed record in the ELF section
# ".morvane_version" that platform::ReadVersionResource reads back.
function(morvane_version_resource target)
  # Filled in with the version-resource reader (platform/common).
endfunction()
