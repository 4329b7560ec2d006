# Project-wide build helpers.

set(MORVANE_WARNINGS -Wall -Wextra -Wformat=2 -Wno-missing-field-initializers)
if(MORVANE_WERROR)
  list(APPEND MORVANE_WARNINGS -Werror)
endif()

if(MORVANE_SANITIZE)
  string(REPLACE ";" "," _san "${MORVANE_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_san})
  if(_san MATCHES "undefined")
    # Undefined behaviour ends the program, so that the test that ran into it
    # fails instead of printing a line nobody reads.
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
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

# morvane_gtest(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT seconds]): one
# GoogleTest program, its cases registered with CTest one by one.
function(morvane_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  morvane_target(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  include(GoogleTest)
  set(_properties LABELS "${T_LABELS}")
  if(T_TIMEOUT)
    list(APPEND _properties TIMEOUT ${T_TIMEOUT})
  endif()
  gtest_discover_tests(${name} PROPERTIES ${_properties} DISCOVERY_TIMEOUT 60)
endfunction()

# morvane_version_resource(<target> FILE_VERSION a.b.c.d [PRODUCT_VERSION a.b.c.d]
#                          [FILE_TYPE APP|DLL|DRV] [VALUES "Name=Text" ...])
# Gives <target> (a program or shared library) its version resource: a fixed
# record in the ELF section ".morvane_version" that platform::ReadVersionResource
# reads back (layout: platform/common/version_resource.h). PRODUCT_VERSION
# defaults to FILE_VERSION; FILE_TYPE defaults to APP for programs, DLL for
# libraries. "FileVersion" is added from FILE_VERSION unless VALUES names it.
# At most 16 values; a name has at most 63 bytes and no "=", a text at most 255
# bytes and no ";" (CMake would split it). A target that has no sources of its
# own may carry just the record.
function(morvane_version_resource target)
  cmake_parse_arguments(V "" "FILE_VERSION;PRODUCT_VERSION;FILE_TYPE" "VALUES" ${ARGN})
  if(V_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "morvane_version_resource(${target}): unknown arguments ${V_UNPARSED_ARGUMENTS}")
  endif()
  get_target_property(_type ${target} TYPE)
  if(NOT _type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    # One record per binary: a static library's record would end up in
    # another binary beside that binary's own.
    message(FATAL_ERROR "morvane_version_resource(${target}): only programs and shared libraries carry one")
  endif()
  if(NOT V_PRODUCT_VERSION)
    set(V_PRODUCT_VERSION ${V_FILE_VERSION})
  endif()

  foreach(_which FILE PRODUCT)
    set(_text "${V_${_which}_VERSION}")
    if(NOT _text MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
      message(FATAL_ERROR "morvane_version_resource(${target}): ${_which}_VERSION \"${_text}\" is not a.b.c.d")
    endif()
    foreach(_i 1 2 3 4)
      if(CMAKE_MATCH_${_i} GREATER 65535)
        message(FATAL_ERROR "morvane_version_resource(${target}): ${_which}_VERSION \"${_text}\" has a part above 65535")
      endif()
    endforeach()
    math(EXPR _ms "(${CMAKE_MATCH_1} << 16) | ${CMAKE_MATCH_2}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR _ls "(${CMAKE_MATCH_3} << 16) | ${CMAKE_MATCH_4}" OUTPUT_FORMAT HEXADECIMAL)
    set(_${_which}_MS ${_ms})
    set(_${_which}_LS ${_ls})
  endforeach()

  if(NOT V_FILE_TYPE)
    if(_type STREQUAL "EXECUTABLE")
      set(V_FILE_TYPE APP)
    else()
      set(V_FILE_TYPE DLL)
    endif()
  endif()
  if(V_FILE_TYPE STREQUAL "APP")
    set(_file_type 1)
  elseif(V_FILE_TYPE STREQUAL "DLL")
    set(_file_type 2)
  elseif(V_FILE_TYPE STREQUAL "DRV")
    set(_file_type 3)
  else()
    message(FATAL_ERROR "morvane_version_resource(${target}): FILE_TYPE must be APP, DLL or DRV")
  endif()

  set(_values ${V_VALUES})
  set(_has_file_version OFF)
  set(_flags 0)
  foreach(_value ${_values})
    if(_value MATCHES "^FileVersion=")
      set(_has_file_version ON)
    endif()
    if(_value MATCHES "^SpecialBuild=.")
      set(_flags 0x20)  # VS_FF_SPECIALBUILD
    endif()
  endforeach()
  if(NOT _has_file_version)
    list(PREPEND _values "FileVersion=${V_FILE_VERSION}")
  endif()
  list(LENGTH _values _count)
  if(_count GREATER 16)
    message(FATAL_ERROR "morvane_version_resource(${target}): at most 16 values")
  endif()

  set(_initializers "")
  foreach(_value ${_values})
    string(FIND "${_value}" "=" _eq)
    if(_eq LESS 1)
      message(FATAL_ERROR "morvane_version_resource(${target}): value \"${_value}\" is not Name=Text")
    endif()
    string(SUBSTRING "${_value}" 0 ${_eq} _name)
    math(EXPR _after "${_eq} + 1")
    string(SUBSTRING "${_value}" ${_after} -1 _text)
    string(LENGTH "${_name}" _name_length)
    string(LENGTH "${_text}" _text_length)
    if(_name_length GREATER 63 OR _text_length GREATER 255)
      message(FATAL_ERROR "morvane_version_resource(${target}): value \"${_name}\" is too long (63/255 bytes)")
    endif()
    foreach(_part _name _text)
      string(REPLACE "\\" "\\\\" ${_part} "${${_part}}")
      string(REPLACE "\"" "\\\"" ${_part} "${${_part}}")
      string(REPLACE "?" "\\?" ${_part} "${${_part}}")
      string(REPLACE "\n" "\\n" ${_part} "${${_part}}")
    endforeach()
    string(APPEND _initializers "    {\"${_name}\", \"${_text}\"},\n")
  endforeach()

  set(_out ${CMAKE_CURRENT_BINARY_DIR}/morvane_version/${target}.c)
  file(CONFIGURE OUTPUT ${_out} @ONLY CONTENT [=[
/* The version resource of @target@, generated by morvane_version_resource. */
#include <stdint.h>

struct morvane_version_value {
  char name[64];
  char text[256];
};

struct morvane_version_record {
  char magic[8];
  uint32_t format_version;
  uint32_t total_size;
  uint32_t fixed[13];
  uint32_t value_count;
  uint32_t reserved;
  struct morvane_version_value values[16];
};
_Static_assert(sizeof(struct morvane_version_record) == 5196, "version record layout");

#if defined(__has_attribute)
#if __has_attribute(retain)
#define MORVANE_VERSION_RETAIN __attribute__((retain))
#endif
#endif
#ifndef MORVANE_VERSION_RETAIN
#define MORVANE_VERSION_RETAIN
#endif

__attribute__((section(".morvane_version"), used, aligned(8))) MORVANE_VERSION_RETAIN
static const struct morvane_version_record morvane_version_resource = {
  "MORVANE",
  1,
  sizeof(struct morvane_version_record),
  {
    0xFEEF04BDu, 0x00010000u,
    @_FILE_MS@u, @_FILE_LS@u,
    @_PRODUCT_MS@u, @_PRODUCT_LS@u,
    0x3Fu, @_flags@u, 0u, @_file_type@u, 0u, 0u, 0u,
  },
  @_count@,
  0,
  {
@_initializers@  },
};
]=])
  target_sources(${target} PRIVATE ${_out})
endfunction()
