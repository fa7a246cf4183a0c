# The engine library: sources of the portable code, the platform folder for
# this target, and what the export table generates.

if(WIN32)
  set(KEZ_OS_DIR win32)
  set(KEZ_PLATFORM windows)
else()
  set(KEZ_OS_DIR posix)
  set(KEZ_PLATFORM linux)
endif()

set(KEZ_OS_SOURCES
  src/os/fault.cpp
  src/os/cpu_x86.cpp
  src/os/${KEZ_OS_DIR}/file.cpp
  src/os/${KEZ_OS_DIR}/ipc.cpp
  src/os/${KEZ_OS_DIR}/locale.cpp
  src/os/${KEZ_OS_DIR}/memory.cpp
  src/os/${KEZ_OS_DIR}/module.cpp
  src/os/${KEZ_OS_DIR}/multimedia_timer.cpp
  src/os/${KEZ_OS_DIR}/owned_thread.cpp
  src/os/${KEZ_OS_DIR}/process.cpp
  src/os/${KEZ_OS_DIR}/socket.cpp
  src/os/${KEZ_OS_DIR}/sync.cpp
  src/os/${KEZ_OS_DIR}/system_services.cpp
  src/os/${KEZ_OS_DIR}/thread.cpp
  src/os/zone_rule.cpp
  src/os/${KEZ_OS_DIR}/time.cpp
  src/os/${KEZ_OS_DIR}/time_zone.cpp
  src/os/${KEZ_OS_DIR}/user_mutex.cpp)

set(KEZ_ENGINE_SOURCES
  src/clib/calendar.cpp
  src/clib/clib_library.cpp
  src/clib/format_conversion.cpp
  src/clib/conversions.cpp
  src/clib/ctype.cpp
  src/clib/decimal_fast_path.cpp
  src/clib/decimal_to_double.cpp
  src/clib/double_to_decimal.cpp
  src/clib/format_checks.cpp
  src/clib/locale.cpp
  src/clib/long_jump.cpp
  src/clib/math.cpp
  src/clib/multibyte.cpp
  src/clib/posix_io.cpp
  src/clib/print_engine.cpp
  src/clib/print_functions.cpp
  src/clib/print_twins.cpp
  src/clib/program_control.cpp
  src/clib/scan_engine.cpp
  src/clib/scan_functions.cpp
  src/clib/scan_twins.cpp
  src/clib/signals.cpp
  src/clib/sort.cpp
  src/clib/stdlib_utils.cpp
  src/clib/stream.cpp
  src/clib/stream_functions.cpp
  src/clib/string.cpp
  src/clib/temp_names.cpp
  src/clib/time_functions.cpp
  src/clib/time_zone.cpp
  src/comm/comm_thread.cpp
  src/comm/net_address.cpp
  src/comm/rs232_events.cpp
  src/comm/rs232_io.cpp
  src/comm/rs232_library.cpp
  src/comm/rs232_ports.cpp
  src/comm/rs232_writer.cpp
  src/comm/tcp_connections.cpp
  src/comm/tcp_events.cpp
  src/comm/tcp_library.cpp
  src/comm/tcp_names.cpp
  src/comm/tcp_slots.cpp
  src/comm/tcp_texts.cpp
  src/comm/tcp_transfer.cpp
  src/comm/udp_channel.cpp
  src/comm/udp_library.cpp
  src/comm/udp_options.cpp
  src/comm/visa_binding.cpp
  src/comm/xmodem.cpp
  src/comm/xmodem_packet.cpp
  src/core/deferred_calls.cpp
  src/core/error_codes.cpp
  src/core/frame_exports.cpp
  src/core/guarded_call.cpp
  src/core/handle_memory.cpp
  src/core/handle_pool.cpp
  src/core/heap_alloc.cpp
  src/core/heap_exports.cpp
  src/core/heap_free.cpp
  src/core/heap_host.cpp
  src/core/heap_region.cpp
  src/core/heap_walk.cpp
  src/core/library_error.cpp
  src/core/list.cpp
  src/core/list_search.cpp
  src/core/messages.cpp
  src/core/quick_sort.cpp
  src/core/run_state.cpp
  src/core/runtime_info.cpp
  src/core/startup.cpp
  src/core/startup_steps.cpp
  src/core/test_hooks.cpp
  src/core/thread_naming.cpp
  src/core/thread_var.cpp
  src/core/time_base.cpp
  src/debug/debug_output.cpp
  src/debug/resource_tracking.cpp
  src/debug/thread_environment.cpp
  src/fmtio/byte_utils.cpp
  src/fmtio/call_checks.cpp
  src/fmtio/file_functions.cpp
  src/fmtio/file_table.cpp
  src/fmtio/fmtio_library.cpp
  src/fmtio/format_calls.cpp
  src/fmtio/format_engine.cpp
  src/fmtio/format_parser.cpp
  src/mt/locks.cpp
  src/mt/thread_pool.cpp
  src/mt/thread_pool_query.cpp
  src/mt/thread_pool_run.cpp
  src/mt/thread_util.cpp
  src/mt/tlv.cpp
  src/mt/tsq.cpp
  src/mt/tsq_access.cpp
  src/mt/tsv.cpp
  src/protect/heap_hooks.cpp
  src/protect/library_checks.cpp
  src/protect/runtime_error.cpp
  src/util/absolute_time.cpp
  src/util/calendar_time.cpp
  src/util/break_settings.cpp
  src/util/date_time.cpp
  src/util/dvuste_timers.cpp
  src/util/fixed_time.cpp
  src/util/mmsystem_timers.cpp
  src/util/paths.cpp
  src/util/system_utilities.cpp
  src/util/timer_clock.cpp
  src/util/timer_engine.cpp
  src/log/log.cpp
  src/log/log_config.cpp
  src/log/log_line.cpp
  src/log/log_tap.cpp
  src/log/log_writers.cpp)

# ---- export table ------------------------------------------------------------
set(KEZ_GEN_DIR ${CMAKE_BINARY_DIR}/generated)
file(GLOB KEZ_EXPORT_TABLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/exports/table/*.exports)
if(KEZ_TEST_HOOKS)
  set(KEZ_HOOKS_FLAG 1)
else()
  set(KEZ_HOOKS_FLAG 0)
endif()
if(WIN32)
  # The link table carries the aliases of C library names; kez_dvrt.def,
  # plain names only, is installed for other toolchains' import libraries.
  set(KEZ_LINK_TABLE ${KEZ_GEN_DIR}/kez_dvrt_link.def)
  set(KEZ_USER_DEF ${KEZ_GEN_DIR}/kez_dvrt.def)
else()
  set(KEZ_LINK_TABLE ${KEZ_GEN_DIR}/kez_dvrt.map)
  set(KEZ_USER_DEF)
endif()
add_custom_command(
  OUTPUT ${KEZ_GEN_DIR}/twins.cpp ${KEZ_GEN_DIR}/clib_twins.cpp ${KEZ_GEN_DIR}/signatures.cpp ${KEZ_GEN_DIR}/exports.manifest ${KEZ_LINK_TABLE} ${KEZ_USER_DEF}
  COMMAND ${CMAKE_COMMAND}
          -DTABLE_DIR=${PROJECT_SOURCE_DIR}/src/exports/table
          -DHOST_NAMES=${PROJECT_SOURCE_DIR}/src/exports/host_c_names.txt
          -DPLATFORM=${KEZ_PLATFORM} -DTEST_HOOKS=${KEZ_HOOKS_FLAG} -DOUT_DIR=${KEZ_GEN_DIR}
          -P ${PROJECT_SOURCE_DIR}/cmake/gen_exports.cmake
  DEPENDS ${KEZ_EXPORT_TABLES} ${PROJECT_SOURCE_DIR}/cmake/gen_exports.cmake
          ${PROJECT_SOURCE_DIR}/src/exports/host_c_names.txt
  COMMENT "Generating exports from the export table")

# ---- the shared library ---------------------------------------------------------
# The engine's objects are compiled once and used twice: in the shared
# library, and in a static library through which unit tests of internal
# modules call internal interfaces directly.
add_library(kez_engine_obj OBJECT ${KEZ_OS_SOURCES} ${KEZ_ENGINE_SOURCES} ${KEZ_GEN_DIR}/twins.cpp
  ${KEZ_GEN_DIR}/clib_twins.cpp ${KEZ_GEN_DIR}/signatures.cpp)
target_include_directories(kez_engine_obj PRIVATE ${PROJECT_SOURCE_DIR}/components/visa32)
target_include_directories(kez_engine_obj PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(kez_engine_obj PUBLIC KEZ_BUILDING_ENGINE $<$<BOOL:${KEZ_TEST_HOOKS}>:KEZ_TEST_HOOKS>)
target_link_libraries(kez_engine_obj PRIVATE kez_warnings)
set_target_properties(kez_engine_obj PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # -fno-gnu-unique: a unique symbol would keep the library mapped after
  # dlclose, and a reload would then skip its start-up chain. (clang makes
  # no such symbols; the fuzzers build the engine with it.)
  target_compile_options(kez_engine_obj PRIVATE -fno-gnu-unique)
endif()

add_library(kez_dvrt SHARED $<TARGET_OBJECTS:kez_engine_obj> src/os/${KEZ_OS_DIR}/attach.cpp)
target_include_directories(kez_dvrt
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(kez_dvrt PRIVATE KEZ_BUILDING_ENGINE)
target_link_libraries(kez_dvrt PRIVATE kez_warnings)
# Installed as kez::dvrt. On Linux the version names the file and the major
# version the SONAME; on Windows it is the DLL's version resource.
set_target_properties(kez_dvrt PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  LINK_DEPENDS ${KEZ_LINK_TABLE}
  EXPORT_NAME dvrt
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
add_library(kez::dvrt ALIAS kez_dvrt)
if(WIN32)
  # kez_dvrt.dll with the import library libkez_dvrt.dll.a, as mingw's
  # -lkez_dvrt looks for it.
  set_target_properties(kez_dvrt PROPERTIES PREFIX "")
  configure_file(src/os/win32/version.rc.in ${KEZ_GEN_DIR}/version.rc @ONLY)
  target_sources(kez_dvrt PRIVATE ${KEZ_LINK_TABLE} ${KEZ_GEN_DIR}/version.rc)
else()
  target_link_options(kez_dvrt PRIVATE -Wl,--version-script=${KEZ_LINK_TABLE} -Wl,--no-undefined
                      -Wl,-z,relro -Wl,-z,now)
  target_link_libraries(kez_dvrt PRIVATE ${CMAKE_DL_LIBS} pthread)
endif()

# Internal modules for unit tests. A test program that links it runs the
# start-up chain itself (tests/support/engine_main.cpp).
add_library(kez_engine_static STATIC EXCLUDE_FROM_ALL $<TARGET_OBJECTS:kez_engine_obj>)
target_link_libraries(kez_engine_static PUBLIC kez_engine_obj)
if(NOT WIN32)
  target_link_libraries(kez_engine_static PUBLIC ${CMAKE_DL_LIBS} pthread)
endif()

# The platform layer again, as a static library for tests that drive the
# engine from outside (loading it, probing named objects).
# It also carries test-only helpers that the engine never contains.
add_library(kez_test_os STATIC EXCLUDE_FROM_ALL ${KEZ_OS_SOURCES} src/os/${KEZ_OS_DIR}/captured_process.cpp)
target_include_directories(kez_test_os PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(kez_test_os PRIVATE kez_warnings)
# With the fault points live when the build has them, so that the platform
# layer's own tests can arm them.
target_compile_definitions(kez_test_os PRIVATE $<$<BOOL:${KEZ_TEST_HOOKS}>:KEZ_TEST_HOOKS>)
if(NOT WIN32)
  target_link_libraries(kez_test_os PUBLIC ${CMAKE_DL_LIBS} pthread)
endif()
