# Profile-guided builds, in two folders configured alike but for BENCH32_PGO:
#
#   generate  every program is instrumented, and a run of it writes its profile into
#             ${BENCH32_PGO_PROFILES}/<program>/ (g++: one .gcda per translation unit;
#             clang++: raw files, to be merged into <program>/program.profdata with the
#             llvm-profdata of the same LLVM version);
#   use       every program is compiled with its own profile. A missing profile, or one
#             that no longer matches the code, is a compile error: never a plain build.
#
# Each program compiles its own copy of the runtime, so the runtime too is tuned by that
# program's training alone, and a program's binary does not depend on which other
# programs were trained. ${BENCH32_PGO_PROFILES}/<program>.stamp, rewritten by the
# trainer only when the profile changed, is a dependency of every object of the program,
# so a new profile recompiles it.
set(BENCH32_PGO "" CACHE STRING "Profile-guided build phase: empty (none), generate or use")
set_property(CACHE BENCH32_PGO PROPERTY STRINGS "" generate use)
set(BENCH32_PGO_PROFILES "" CACHE PATH "The folder of every program's profile")
if(BENCH32_PGO)
  if(NOT BENCH32_PGO MATCHES "^(generate|use)$")
    message(FATAL_ERROR "BENCH32_PGO must be empty, generate or use, not '${BENCH32_PGO}'")
  endif()
  if(NOT IS_ABSOLUTE "${BENCH32_PGO_PROFILES}")
    message(FATAL_ERROR "BENCH32_PGO needs BENCH32_PGO_PROFILES, an absolute folder")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
    message(FATAL_ERROR "profile-guided builds need g++ or clang++, not ${CMAKE_CXX_COMPILER_ID}")
  endif()
endif()

# bench32_pgo_program(<name> <source>...)
#
# Links <name> with its own runtime and compiles both for BENCH32_PGO's phase.
function(bench32_pgo_program name)
  bench32_add_runtime(.${name})
  target_link_libraries(${name} PRIVATE bench32_entry.${name})
  set(targets ${name} bench32_runtime.${name} bench32_entry.${name})
  set(profile ${BENCH32_PGO_PROFILES}/${name})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Profiles are named after the object files' paths below the build folder, so the
    # instrumented folder and the optimised one name each translation unit alike. The
    # programs are single-threaded: the counters need no atomic updates.
    set(common -fprofile-prefix-path=${CMAKE_BINARY_DIR})
    set(generate -fprofile-generate=${profile})
    set(use -fprofile-use=${profile} -Werror=missing-profile -Werror=coverage-mismatch)
  else()
    set(common "")
    set(generate -fprofile-instr-generate=${profile}/%m.profraw)
    # A profile file that is missing or unreadable is always an error; these make a
    # translation unit without data, and data that no longer matches, errors too.
    set(use -fprofile-instr-use=${profile}/program.profdata -Werror=profile-instr-unprofiled
            -Werror=profile-instr-out-of-date)
  endif()
  foreach(target ${targets})
    target_compile_options(${target} PRIVATE ${common} ${${BENCH32_PGO}})
  endforeach()
  if(BENCH32_PGO STREQUAL "generate")
    target_link_options(${name} PRIVATE ${generate})
  else()
    set(stamp ${profile}.stamp)
    if(NOT EXISTS ${stamp})
      file(WRITE ${stamp} "")
    endif()
    foreach(target ${targets})
      get_target_property(sources ${target} SOURCES)
      set_property(SOURCE ${sources} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
                                                                         ${stamp})
    endforeach()
  endif()
endfunction()
