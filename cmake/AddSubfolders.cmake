# add_subfolders()
#
# Adds every folder below the current one that has a CMakeLists.txt, in name order, so
# that a new program or test group joins the build by existing.
function(add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} *)
  list(SORT entries)
  foreach(entry ${entries})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${entry}/CMakeLists.txt)
      add_subdirectory(${entry})
    endif()
  endforeach()
endfunction()
