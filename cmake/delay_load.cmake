# Windows looks for an imported DLL that isn't one of its KnownDLLs in the program's own folder
# first, before the program's first line runs: a winhttp.dll lying in Downloads beside Setup would
# be loaded into it. Such DLLs are linked through delay-load libraries instead, so each one is
# loaded at its first call, after the entry point has confined the DLL search to the system
# folder.
#
# murk_delay_load(TARGET VISIBILITY NAME...) links TARGET with a delay-load library for each DLL
# NAME (without ".dll"), made by binutils' dlltool from every function of the toolchain's import
# library. __delayLoadHelper2 comes from MinGW-w64's libmingwex, which every program links.
function(murk_delay_load target visibility)
  if(NOT CMAKE_DLLTOOL OR NOT CMAKE_NM)
    message(FATAL_ERROR "Delay-loading DLLs needs binutils' dlltool and nm (CMAKE_DLLTOOL, CMAKE_NM)")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/delay-load)
  file(MAKE_DIRECTORY ${folder})
  foreach(dll IN LISTS ARGN)
    find_library(MURK_IMPORT_LIBRARY_${dll} NAMES ${dll} REQUIRED)
    set(import ${MURK_IMPORT_LIBRARY_${dll}})
    # dlltool names the descriptor symbol after the library's file name:
    # __DELAY_IMPORT_DESCRIPTOR_<name>_delay_a, which scripts/check-imports.sh finds in the map.
    set(library ${folder}/${dll}_delay.a)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${import})
    if(NOT EXISTS ${library} OR ${import} IS_NEWER_THAN ${library})
      execute_process(COMMAND ${CMAKE_NM} ${import} OUTPUT_VARIABLE symbols
        RESULT_VARIABLE failed ERROR_QUIET)
      if(failed)
        message(FATAL_ERROR "${CMAKE_NM} couldn't read ${import}")
      endif()
      string(REGEX MATCHALL " I __imp_[^\r\n]+" imports "${symbols}")
      list(TRANSFORM imports REPLACE "^ I __imp_" "")
      list(REMOVE_DUPLICATES imports)
      list(JOIN imports "\n" exports)
      file(WRITE ${folder}/${dll}.def "LIBRARY \"${dll}.dll\"\nEXPORTS\n${exports}\n")
      execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${dll}.def --dllname ${dll}.dll
          --output-delaylib ${dll}_delay.a
        WORKING_DIRECTORY ${folder} RESULT_VARIABLE failed)
      if(failed OR NOT EXISTS ${library})
        message(FATAL_ERROR "${CMAKE_DLLTOOL} couldn't make the delay-load library of ${dll}")
      endif()
    endif()
    target_link_libraries(${target} ${visibility} ${library})
  endforeach()
endfunction()
