# bench32_program([<name>] <source>...)
#
# Builds one benchmark program, named after its folder (or <name>, for a program
# outside benchmarks/ such as a test probe), into <build>/bin, and registers every case
# of the program's cases.json with ctest as "<name>/<case>", and every workload of its
# workloads.json but ref as "<name>/workload.<workload>". Each runs the program with its
# input from a file in memory and checks the exact standard output bytes (or their
# digest and size) and the exit status or signal. ref, the long timed run, is left to
# the harness, which verifies every run it times.
function(bench32_program first)
  get_filename_component(name ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(sources ${first} ${ARGN})
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${first})
    set(name ${first})
    list(REMOVE_AT sources 0)
  endif()
  add_executable(${name} ${sources})
  if(BENCH32_PGO)
    bench32_pgo_program(${name})
  else()
    target_link_libraries(${name} PRIVATE bench32_entry)
  endif()
  add_dependencies(bench32-programs ${name})
  set_property(GLOBAL APPEND PROPERTY BENCH32_PROGRAMS ${name})
  if(BENCH32_BARRIER_VARIANTS)
    bench32_barrier_variants(${name} ${sources})
  endif()
  if(BENCH32_LAYOUTS GREATER 0)
    bench32_layout_variants(${name} ${sources})
  endif()

  if(BENCH32_CASE_RUNNER)
    set(runner ${BENCH32_CASE_RUNNER})
  else()
    set(runner $<TARGET_FILE:bench32-case>)
  endif()
  # Under a cross build the program runs in the emulator; the runner stays native.
  set(under "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " under)
  endif()

  set(workloads_file ${CMAKE_CURRENT_SOURCE_DIR}/workloads.json)
  if(EXISTS ${workloads_file})
    file(READ ${workloads_file} json)
    string(JSON count LENGTH "${json}" workloads)
    set(i 0)
    while(i LESS count)
      string(JSON workload MEMBER "${json}" workloads ${i})
      math(EXPR i "${i} + 1")
      if(workload STREQUAL "ref")
        continue()
      endif()
      add_test(NAME ${name}/workload.${workload}
               COMMAND ${runner} --run-under "${under}" $<TARGET_FILE:${name}> ${workloads_file}
                       ${workload})
      set_tests_properties(${name}/workload.${workload} PROPERTIES LABELS "workloads;${name}"
                                                                   TIMEOUT 300)
    endwhile()
  endif()

  set(cases_file ${CMAKE_CURRENT_SOURCE_DIR}/cases.json)
  if(NOT EXISTS ${cases_file})
    return()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${cases_file})

  file(READ ${cases_file} json)
  string(JSON count LENGTH "${json}" cases)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON case_name GET "${json}" cases ${i} name)
    add_test(NAME ${name}/${case_name}
             COMMAND ${runner} --run-under "${under}" $<TARGET_FILE:${name}> ${cases_file}
                     ${case_name})
    set_tests_properties(${name}/${case_name} PROPERTIES LABELS "cases;${name}" TIMEOUT 120)
  endforeach()
endfunction()

# bench32_program_test(<source>)
#
# A GoogleTest of the program's own functions, called directly: the test source
# includes the program's source and links the runtime without its entry point. Each
# test is registered with ctest as "<program>/<suite>.<test>". Host builds only.
function(bench32_program_test source)
  get_filename_component(program ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(NOT BENCH32_TOOLS)
    return()
  endif()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(${program}-tests ${source})
  target_include_directories(${program}-tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${program}-tests PRIVATE bench32_runtime GTest::gtest_main)
  gtest_discover_tests(${program}-tests TEST_PREFIX ${program}/ DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${program} TIMEOUT 600)
endfunction()

# bench32_barrier_variants(<name> <source>...)
#
# Adds <name>.drop-<line> for every barrier (a call of keep or opaque) on line <line> of
# the program's sources: the program built with that one barrier dropped. The
# barrier-minimality test builds them and checks that each drop loses described work.
function(bench32_barrier_variants name)
  foreach(source ${ARGN})
    # One list entry per line, empty lines included (file(STRINGS) would skip them and
    # shift the numbers); semicolons are set aside first, as CMake lists split on them.
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${source} text)
    string(REPLACE ";" "," text "${text}")
    string(REGEX MATCHALL "[^\n]*\n" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(line MATCHES "^[ \t]*//" OR NOT line MATCHES "(^|[^A-Za-z0-9_])(keep|opaque)\\(")
        continue()
      endif()
      add_executable(${name}.drop-${number} ${ARGN})
      target_link_libraries(${name}.drop-${number} PRIVATE bench32_entry)
      target_compile_definitions(${name}.drop-${number} PRIVATE B32_DROP_BARRIER_AT=${number})
    endforeach()
  endforeach()
endfunction()

# bench32_layout_variants(<name> <source>...)
#
# Adds <name>.layout-<k> for k < BENCH32_LAYOUTS: the program's objects, compiled once
# with every function in its own section, linked by lld with the functions in an order
# shuffled with seed k; layout 0 keeps the order of the objects. The variants differ
# only in where code is placed. They are built only when asked for.
function(bench32_layout_variants name)
  add_library(${name}.sections OBJECT EXCLUDE_FROM_ALL ${ARGN})
  target_link_libraries(${name}.sections PRIVATE bench32_entry_sections)
  target_compile_options(${name}.sections PRIVATE -ffunction-sections)
  math(EXPR last "${BENCH32_LAYOUTS} - 1")
  foreach(k RANGE ${last})
    set(variant ${name}.layout-${k})
    add_executable(${variant} EXCLUDE_FROM_ALL $<TARGET_OBJECTS:${name}.sections>)
    target_link_libraries(${variant} PRIVATE bench32_entry_sections)
    target_link_options(${variant} PRIVATE -fuse-ld=lld)
    if(k GREATER 0)
      target_link_options(${variant} PRIVATE "LINKER:--shuffle-sections=.text*=${k}")
    endif()
  endforeach()
endfunction()
