# Generates everything that follows from the export table.
#
#   cmake -DTABLE_DIR=<dir> -DHOST_NAMES=<file> -DPLATFORM=linux|windows
#         [-DTEST_HOOKS=0|1] -DOUT_DIR=<dir> -P cmake/gen_exports.cmake
#
# The table is the set of files src/exports/table/*.exports, one export a
# line:  library | declaration | options
# options (comma-separated): `test` (only in builds with test hooks) and
# `twin(msg=<message function>)` (a _UP_ twin that reports negative results as
# library errors with the message function's text), and for the C library
# `twin(fails=null|negative|never)` (a _UP_ twin that reports a null or
# negative result as a library error elaborated from errno, or forwards only).
# With a twin(msg=...) twin, `nonnull(<parameter> ...)` names the pointer
# parameters the function requires: while user protection is on, the twin
# reports each null one against its argument number before the call.
#
# Outputs, in OUT_DIR:
#   kez_dvrt_link.def  Windows module-definition file the DLL is linked with
#                      (PLATFORM windows)
#   kez_dvrt.def       the same exports, plain names only, for other
#                      toolchains' import libraries (PLATFORM windows)
#   kez_dvrt.map       Linux version script (PLATFORM linux)
#   exports.manifest   the link names the built library must export, sorted
#   twins.cpp          the _UP_ twins
#   clib_twins.cpp     the C library's _UP_ twins (they see only its public
#                      headers, which replace the host's)
#   signatures.cpp     compile-time checks that every export is declared in
#                      a public header with the table's signature
# On Linux a name that the host C library also defines is linked as
# kez_<name> (src/exports/host_c_names.txt); on Windows it is exported under
# its plain name from the definition kez_<name>. Either way the engine
# defines such a function as kez_<name>.
#
# An output whose text is unchanged is not rewritten, so that its time stamp
# does not trigger rebuilds.
#
# Table text may hold ';' and '[', which CMake's lists interpret, so table
# lines and their fields are kept in plain variables and never in lists.
# Whitespace is ASCII whitespace, the separators \x1c-\x1f included; a word
# character is an ASCII letter, digit or '_', or any byte of a non-ASCII
# (UTF-8) character.
cmake_minimum_required(VERSION 3.25)

string(ASCII 9 10 11 12 13 28 29 30 31 32 _kez_ws)
string(ASCII 128 _kez_byte_lo)
string(ASCII 255 _kez_byte_hi)
set(_kez_word "A-Za-z0-9_${_kez_byte_lo}-${_kez_byte_hi}")

# ---- helpers -----------------------------------------------------------------

# Sets <out> to <text> without leading and trailing whitespace.
function(_kez_strip out text)
  string(REGEX REPLACE "^[${_kez_ws}]+" "" text "${text}")
  string(REGEX REPLACE "[${_kez_ws}]+$" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Splits <text> at every <sep> (one character): n separators give n+1 fields,
# empty ones included. Sets <prefix>_count and <prefix>_1 ... to the fields,
# each stripped of surrounding whitespace.
function(_kez_split_strip text sep prefix)
  set(n 0)
  while(TRUE)
    math(EXPR n "${n} + 1")
    string(FIND "${text}" "${sep}" at)
    if(at EQUAL -1)
      _kez_strip(field "${text}")
      set(${prefix}_${n} "${field}" PARENT_SCOPE)
      break()
    endif()
    string(SUBSTRING "${text}" 0 ${at} field)
    _kez_strip(field "${field}")
    set(${prefix}_${n} "${field}" PARENT_SCOPE)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${text}" ${at} -1 text)
  endwhile()
  set(${prefix}_count ${n} PARENT_SCOPE)
endfunction()

# Sets <prefix>_1 ... to the lines of the file <path>, without their line
# ends, and <prefix>_numbers to the list of line numbers. "\r\n" and a lone
# "\r" end a line as "\n" does.
function(_kez_read_lines path prefix)
  file(READ "${path}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\r" "\n" text "${text}")
  # Escape what list splitting interprets, then make the line ends the list
  # separators. '%' escapes itself, so it is undone last.
  string(REPLACE "%" "%0" text "${text}")
  string(REPLACE ";" "%1" text "${text}")
  string(REPLACE "[" "%2" text "${text}")
  string(REPLACE "]" "%3" text "${text}")
  string(REPLACE "\\" "%4" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(n 0)
  set(numbers "")
  foreach(line IN LISTS lines)
    math(EXPR n "${n} + 1")
    list(APPEND numbers ${n})
    string(REPLACE "%4" "\\" line "${line}")
    string(REPLACE "%3" "]" line "${line}")
    string(REPLACE "%2" "[" line "${line}")
    string(REPLACE "%1" ";" line "${line}")
    string(REPLACE "%0" "%" line "${line}")
    set(${prefix}_${n} "${line}" PARENT_SCOPE)
  endforeach()
  set(${prefix}_numbers "${numbers}" PARENT_SCOPE)
endfunction()

# Writes <text> to <path> unless the file already holds that text. The
# comparison is of text: the file's line ends count as "\n".
function(_kez_write_if_changed path text)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    string(REPLACE "\r\n" "\n" old "${old}")
    string(REPLACE "\r" "\n" old "${old}")
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

# ---- arguments -----------------------------------------------------------------
foreach(arg IN ITEMS TABLE_DIR HOST_NAMES PLATFORM OUT_DIR)
  if(NOT DEFINED ${arg})
    message(FATAL_ERROR "gen_exports.cmake: ${arg} is required (-D${arg}=<value>)")
  endif()
endforeach()
if(NOT PLATFORM STREQUAL "linux" AND NOT PLATFORM STREQUAL "windows")
  message(FATAL_ERROR "gen_exports.cmake: PLATFORM must be linux or windows, not '${PLATFORM}'")
endif()
if(NOT DEFINED TEST_HOOKS)
  set(TEST_HOOKS 0)
endif()
_kez_strip(hooks "${TEST_HOOKS}")
if(NOT hooks MATCHES "^[-+]?[0-9]+(_[0-9]+)*$")
  message(FATAL_ERROR "gen_exports.cmake: TEST_HOOKS must be an integer, not '${TEST_HOOKS}'")
endif()
# Any value but zero includes the test-only exports.
if(hooks MATCHES "[1-9]")
  set(with_test_exports TRUE)
else()
  set(with_test_exports FALSE)
endif()

# ---- the table ---------------------------------------------------------------------
# Files are read in name order; names beginning with '.' are not table files.
# A location is reported as <table dir>/<file>:<line>, the table directory
# written as given, less trailing slashes.
string(REGEX REPLACE "/+$" "" table_prefix "${TABLE_DIR}")
if(table_prefix STREQUAL "" AND NOT TABLE_DIR STREQUAL "")
  set(table_prefix "${TABLE_DIR}")  # the root directory
endif()
if(NOT table_prefix STREQUAL "" AND NOT table_prefix MATCHES "/$")
  string(APPEND table_prefix "/")
endif()
if(table_prefix STREQUAL "")
  set(table_dir_abs ".")
else()
  set(table_dir_abs "${table_prefix}")
endif()
get_filename_component(table_dir_abs "${table_dir_abs}" ABSOLUTE)
file(GLOB table_files LIST_DIRECTORIES true "${table_dir_abs}/*.exports")
list(SORT table_files)

set(all_exports "")  # indices e of the _kez_e<e>_* variables
set(n_exports 0)
foreach(file IN LISTS table_files)
  get_filename_component(file_name "${file}" NAME)
  if(file_name MATCHES "^\\.")
    continue()
  endif()
  set(path "${table_prefix}${file_name}")
  _kez_read_lines("${file}" line)
  foreach(number IN LISTS line_numbers)
    _kez_strip(text "${line_${number}}")
    if(text STREQUAL "" OR text MATCHES "^#")
      continue()
    endif()
    set(where "${path}:${number}")
    _kez_split_strip("${text}" "|" field)
    if(NOT field_count EQUAL 3)
      message(FATAL_ERROR "${where}: expected 'library | declaration | options'")
    endif()
    set(decl "${field_2}")
    set(options "${field_3}")

    # Declaration: <return type> <name>(<params>). The name is the first word
    # followed by '('; the parameters run to the final ')'.
    string(REGEX MATCH "(^|[^${_kez_word}])([${_kez_word}]+)[${_kez_ws}]*\\(" head "${decl}")
    set(name "${CMAKE_MATCH_2}")
    string(LENGTH "${CMAKE_MATCH_1}" lead)
    if(head STREQUAL "" OR NOT decl MATCHES "\\)$")
      message(FATAL_ERROR "${where}: cannot read declaration: ${decl}")
    endif()
    # The first occurrence of the matched text is where the match is.
    string(FIND "${decl}" "${head}" at)
    math(EXPR name_at "${at} + ${lead}")
    string(LENGTH "${head}" head_length)
    string(LENGTH "${decl}" decl_length)
    math(EXPR params_at "${at} + ${head_length}")
    math(EXPR params_length "${decl_length} - 1 - ${params_at}")
    string(SUBSTRING "${decl}" 0 ${name_at} ret)
    _kez_strip(ret "${ret}")
    string(SUBSTRING "${decl}" ${params_at} ${params_length} params)
    _kez_strip(params "${params}")

    math(EXPR e "${n_exports} + 1")
    set(n_exports ${e})
    list(APPEND all_exports ${e})
    set(_kez_e${e}_name "${name}")
    set(_kez_e${e}_ret "${ret}")
    set(n_params 0)
    set(_kez_e${e}_params "")  # parameter indices
    set(variadic FALSE)
    if(NOT params STREQUAL "void")
      _kez_split_strip("${params}" "," param)
      foreach(i RANGE 1 ${param_count})
        set(p "${param_${i}}")
        math(EXPR n_params "${n_params} + 1")
        list(APPEND _kez_e${e}_params ${n_params})
        if(p STREQUAL "...")
          set(_kez_e${e}_ptype_${n_params} "...")
          set(_kez_e${e}_pname_${n_params} "")
          set(variadic TRUE)
          continue()
        endif()
        # The name is the trailing word, the type everything before it.
        string(REGEX MATCH "[${_kez_word}]+$" pname "${p}")
        string(LENGTH "${p}" p_length)
        string(LENGTH "${pname}" pname_length)
        math(EXPR ptype_length "${p_length} - ${pname_length}")
        string(SUBSTRING "${p}" 0 ${ptype_length} ptype)
        _kez_strip(ptype "${ptype}")
        if(pname STREQUAL "" OR ptype STREQUAL "")
          message(FATAL_ERROR "${where}: parameter without a name in ${name}: ${p}")
        endif()
        set(_kez_e${e}_ptype_${n_params} "${ptype}")
        set(_kez_e${e}_pname_${n_params} "${pname}")
      endforeach()
    endif()

    set(_kez_e${e}_test FALSE)
    set(_kez_e${e}_twin_msg "")
    set(_kez_e${e}_twin_fails "")
    set(_kez_e${e}_twin_variadic "")
    set(_kez_e${e}_nonnull "")
    _kez_split_strip("${options}" "," option)
    foreach(i RANGE 1 ${option_count})
      set(opt "${option_${i}}")
      if(opt STREQUAL "")
        continue()
      elseif(opt STREQUAL "test")
        set(_kez_e${e}_test TRUE)
      elseif(opt MATCHES "^twin\\(msg=([${_kez_word}]+)\\)$")
        set(_kez_e${e}_twin_msg "${CMAKE_MATCH_1}")
      elseif(opt MATCHES "^twin\\(fails=(null|negative|never)\\)$")
        set(_kez_e${e}_twin_fails "${CMAKE_MATCH_1}")
      elseif(opt MATCHES "^twin\\(variadic=([${_kez_word}]+)\\)$")
        set(_kez_e${e}_twin_variadic "${CMAKE_MATCH_1}")
      elseif(opt MATCHES "^nonnull\\(([${_kez_word}${_kez_ws}]+)\\)$")
        _kez_strip(required "${CMAKE_MATCH_1}")
        string(REGEX REPLACE "[${_kez_ws}]+" ";" required "${required}")
        foreach(pname IN LISTS required)
          set(number "")
          foreach(p IN LISTS _kez_e${e}_params)
            if(_kez_e${e}_pname_${p} STREQUAL pname)
              set(number ${p})
            endif()
          endforeach()
          if(number STREQUAL "" OR NOT _kez_e${e}_ptype_${number} MATCHES "\\*$")
            message(FATAL_ERROR "${where}: nonnull(${pname}): ${name} has no pointer parameter of that name")
          endif()
          list(APPEND _kez_e${e}_nonnull ${number})
        endforeach()
      else()
        message(FATAL_ERROR "${where}: unknown option ${opt}")
      endif()
    endforeach()
    if(NOT _kez_e${e}_nonnull STREQUAL "" AND _kez_e${e}_twin_msg STREQUAL "")
      message(FATAL_ERROR "${where}: nonnull(...) needs a twin(msg=...) twin")
    endif()
    if(NOT _kez_e${e}_twin_msg STREQUAL "")
      if(variadic)
        message(FATAL_ERROR "${where}: a twin cannot forward the variable arguments of ${name}")
      endif()
      if(NOT ret STREQUAL "int")
        message(FATAL_ERROR "${where}: a twin reports negative int results; ${name} returns ${ret}")
      endif()
    endif()
    if(NOT _kez_e${e}_twin_fails STREQUAL "" AND variadic)
      message(FATAL_ERROR "${where}: a twin cannot forward the variable arguments of ${name}")
    endif()
    if(NOT _kez_e${e}_twin_variadic STREQUAL "" AND NOT variadic)
      message(FATAL_ERROR "${where}: twin(variadic=...) is for functions with variable arguments; ${name} has none")
    endif()
  endforeach()
endforeach()

foreach(e IN LISTS all_exports)
  set(name "${_kez_e${e}_name}")
  if(DEFINED "_kez_seen:${name}")
    message(FATAL_ERROR "export ${name} is listed twice")
  endif()
  set("_kez_seen:${name}" TRUE)
endforeach()

# The exports of this build.
set(exports "")
foreach(e IN LISTS all_exports)
  if(with_test_exports OR NOT _kez_e${e}_test)
    list(APPEND exports ${e})
  endif()
endforeach()

# ---- host C library names ----------------------------------------------------------
get_filename_component(host_names_abs "${HOST_NAMES}" ABSOLUTE)
_kez_read_lines("${host_names_abs}" host)
foreach(i IN LISTS host_numbers)
  _kez_strip(host_name "${host_${i}}")
  if(NOT host_name STREQUAL "" AND NOT host_${i} MATCHES "^#")
    set("_kez_host:${host_name}" TRUE)
  endif()
endforeach()

# ---- outputs ---------------------------------------------------------------------------
# Export names are words, so they may live in lists.
set(names "")
foreach(e IN LISTS exports)
  list(APPEND names "${_kez_e${e}_name}")
  if(NOT _kez_e${e}_twin_msg STREQUAL "" OR NOT _kez_e${e}_twin_fails STREQUAL ""
     OR NOT _kez_e${e}_twin_variadic STREQUAL "")
    list(APPEND names "_UP_${_kez_e${e}_name}")
  endif()
endforeach()
set(links "")
foreach(n IN LISTS names)
  if(PLATFORM STREQUAL "linux" AND DEFINED "_kez_host:${n}")
    list(APPEND links "kez_${n}")
  else()
    list(APPEND links "${n}")
  endif()
endforeach()
# Sorted by byte, which for UTF-8 is the order of code points.
list(SORT links COMPARE STRING ORDER ASCENDING)
list(SORT names COMPARE STRING ORDER ASCENDING)

get_filename_component(out_dir "${OUT_DIR}" ABSOLUTE)
file(MAKE_DIRECTORY "${out_dir}")

set(manifest "")
foreach(n IN LISTS links)
  string(APPEND manifest "${n}\n")
endforeach()
_kez_write_if_changed("${out_dir}/exports.manifest" "${manifest}")

if(PLATFORM STREQUAL "windows")
  # A C library name is exported from its kez_<name> definition: a
  # definition under the plain name would also capture the engine's own
  # calls of the C runtime (and those of the statically linked C++
  # runtime). The import library needs only the plain names.
  set(link_def "LIBRARY kez_dvrt.dll\nEXPORTS\n")
  set(user_def "LIBRARY kez_dvrt.dll\nEXPORTS\n")
  foreach(n IN LISTS names)
    if(DEFINED "_kez_host:${n}")
      string(APPEND link_def "    ${n} = kez_${n}\n")
    else()
      string(APPEND link_def "    ${n}\n")
    endif()
    string(APPEND user_def "    ${n}\n")
  endforeach()
  _kez_write_if_changed("${out_dir}/kez_dvrt_link.def" "${link_def}")
  _kez_write_if_changed("${out_dir}/kez_dvrt.def" "${user_def}")
else()
  set(map "{\n  global:\n")
  foreach(n IN LISTS links)
    string(APPEND map "    ${n};\n")
  endforeach()
  string(APPEND map "  local: *;\n};\n")
  _kez_write_if_changed("${out_dir}/kez_dvrt.map" "${map}")
endif()

set(signatures [=[
// Generated by cmake/gen_exports.cmake from src/exports/table/*.exports. Do not edit.
// Every export is declared in a public header exactly as the table lists
// it. Only the engine's headers are included here: its C library header
// replaces the host's, and the two cannot meet in one source.
#include <type_traits>

#include "kez/ansi_c.h"
#include "kez/kez.h"
#if defined(KEZ_TEST_HOOKS)
#include "core/test_hooks.h"
#endif

// The compiler's own attributes of C library names (malloc, alloc_size)
// are not part of the type.
#pragma GCC diagnostic ignored "-Wignored-attributes"

// clang keeps noreturn in a function's type; a pointer to such a function
// converts to the plain pointer type and to no other.
#if defined(__clang__)
#define KEZ_SAME_SIGNATURE(f, ...) std::is_convertible_v<decltype(&f), std::add_pointer_t<__VA_ARGS__>>
#else
#define KEZ_SAME_SIGNATURE(f, ...) std::is_same_v<decltype(f), __VA_ARGS__>
#endif
]=])
foreach(e IN LISTS exports)
  set(name "${_kez_e${e}_name}")
  # Function type: <ret>(<types>), "void" for no parameters.
  set(types "")
  foreach(i IN LISTS _kez_e${e}_params)
    if(i GREATER 1)
      string(APPEND types ", ")
    endif()
    string(APPEND types "${_kez_e${e}_ptype_${i}}")
  endforeach()
  if(types STREQUAL "")
    set(types "void")
  endif()
  string(APPEND signatures "static_assert(KEZ_SAME_SIGNATURE(${name}, ${_kez_e${e}_ret}(${types})), "
                      "\"${name}: header and export table differ\");\n")
endforeach()
_kez_write_if_changed("${out_dir}/signatures.cpp" "${signatures}")

# The parameter list of export e as a definition writes it, and its names as
# a call passes them. A pointer type is joined to its parameter name:
# "char *buffer".
function(_kez_twin_params e params_var args_var)
  set(params "")
  set(args "")
  foreach(i IN LISTS _kez_e${e}_params)
    set(ptype "${_kez_e${e}_ptype_${i}}")
    set(pname "${_kez_e${e}_pname_${i}}")
    if(i GREATER 1)
      string(APPEND params ", ")
      string(APPEND args ", ")
    endif()
    if(ptype MATCHES "\\*$")
      string(APPEND params "${ptype}${pname}")
    else()
      string(APPEND params "${ptype} ${pname}")
    endif()
    string(APPEND args "${pname}")
  endforeach()
  if(params STREQUAL "")
    set(params "void")
  endif()
  set(${params_var} "${params}" PARENT_SCOPE)
  set(${args_var} "${args}" PARENT_SCOPE)
endfunction()

set(twins [=[
// Generated by cmake/gen_exports.cmake from src/exports/table/*.exports. Do not edit.
#include "core/frame.h"
#include "exports/twin_messages.h"
#include "kez/kez.h"
#include "protect/library_checks.h"
#if defined(KEZ_TEST_HOOKS)
#include "core/test_hooks.h"
#endif

#if defined(_WIN32)
#define KEZ_TWIN extern "C"
#else
#define KEZ_TWIN extern "C" __attribute__((visibility("default")))
#endif

]=])
foreach(e IN LISTS exports)
  if(_kez_e${e}_twin_msg STREQUAL "")
    continue()
  endif()
  set(name "${_kez_e${e}_name}")
  _kez_twin_params(${e} params args)
  # The twin's own variable is named so that no parameter of the table's
  # (result, status, ...) hides it.
  string(APPEND twins "KEZ_TWIN int _UP_${name}(${params}) {\n")
  foreach(i IN LISTS _kez_e${e}_nonnull)
    string(APPEND twins "    ::kez::protect::check_required_pointer(${_kez_e${e}_pname_${i}}, ${i});\n")
  endforeach()
  string(APPEND twins
    "    const int kez_result = ${name}(${args});\n"
    "    if (kez_result < 0) ::kez::core::report_library_error(\"${name}\", kez_result, "
    "${_kez_e${e}_twin_msg}(kez_result));\n"
    "    return kez_result;\n"
    "}\n"
    "\n")
endforeach()
_kez_write_if_changed("${out_dir}/twins.cpp" "${twins}")

# The C library's twins. They are compiled against its public headers only,
# so the table's types (FILE, size_t, div_t, ...) mean what the header says.
# On Windows the engine defines a host-named function as kez_<name> (the
# plain name inside the DLL is the system C runtime's), so the twin calls
# that; on Linux the header's assembler label already names it.
set(clib_twins [=[
// Generated by cmake/gen_exports.cmake from src/exports/table/*.exports. Do not edit.
#include "kez/ansi_c.h"

#if defined(_WIN32)
#define KEZ_TWIN extern "C"
#else
#define KEZ_TWIN extern "C" __attribute__((visibility("default")))
#endif

namespace kez::clib {
// Records a failed call: the value it returned and errno's name and text.
void report_twin_failure(const char *function, int value);
}  // namespace kez::clib

]=])
# A variadic function's twin gathers its variable arguments and hands them
# to the checked form that takes a va_list (twin(variadic=<that form>)),
# declared here: it may be an export or the engine's own.
foreach(e IN LISTS exports)
  set(target "${_kez_e${e}_twin_variadic}")
  if(target STREQUAL "")
    continue()
  endif()
  set(name "${_kez_e${e}_name}")
  set(ret "${_kez_e${e}_ret}")
  _kez_twin_params(${e} params args)
  # The fixed parameters and the last one, after which the variable ones start.
  string(REGEX REPLACE ", \\.\\.\\. *$" "" fixed "${params}")
  string(REGEX REPLACE ", $" "" fixed_args "${args}")
  string(REGEX MATCH "[${_kez_word}]+$" last "${fixed_args}")
  string(APPEND clib_twins
    "extern \"C\" ${ret} ${target}(${fixed}, va_list args);\n"
    "KEZ_TWIN ${ret} _UP_${name}(${params}) {\n"
    "    va_list args;\n"
    "    va_start(args, ${last});\n"
    "    ${ret} const result = ${target}(${fixed_args}, args);\n"
    "    va_end(args);\n"
    "    return result;\n"
    "}\n"
    "\n")
endforeach()
foreach(e IN LISTS exports)
  set(fails "${_kez_e${e}_twin_fails}")
  if(fails STREQUAL "")
    continue()
  endif()
  set(name "${_kez_e${e}_name}")
  set(ret "${_kez_e${e}_ret}")
  _kez_twin_params(${e} params args)
  # "FILE *_UP_fopen", "int _UP_remove"
  if(ret MATCHES "\\*$")
    set(head "${ret}_UP_${name}")
  else()
    set(head "${ret} _UP_${name}")
  endif()
  set(callee "${name}")
  if(PLATFORM STREQUAL "windows" AND DEFINED "_kez_host:${name}")
    set(callee "kez_${name}")
    string(APPEND clib_twins "extern \"C\" ${ret} kez_${name}(${params});\n")
  endif()
  if(ret STREQUAL "void")
    string(APPEND clib_twins "KEZ_TWIN void _UP_${name}(${params}) { ${callee}(${args}); }\n\n")
    continue()
  endif()
  if(fails STREQUAL "never")
    string(APPEND clib_twins "KEZ_TWIN ${head}(${params}) { return ${callee}(${args}); }\n\n")
    continue()
  endif()
  if(fails STREQUAL "null")
    set(test "result == nullptr")
    set(value "0")
  else()
    set(test "result < 0")
    set(value "static_cast<int>(result)")
  endif()
  string(APPEND clib_twins
    "KEZ_TWIN ${head}(${params}) {\n"
    "    ${ret} const result = ${callee}(${args});\n"
    "    if (${test}) ::kez::clib::report_twin_failure(\"${name}\", ${value});\n"
    "    return result;\n"
    "}\n"
    "\n")
endforeach()
_kez_write_if_changed("${out_dir}/clib_twins.cpp" "${clib_twins}")
