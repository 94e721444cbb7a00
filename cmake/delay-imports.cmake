# Delay-import libraries for the DLLs the program uses that are not among Windows' known DLLs.
#
# The loader resolves a program's ordinary imports before any of its code runs, looking in the
# program's own folder first: a DLL of the same name placed beside the launcher would be loaded
# instead of Windows' own. Imported through a delay-import library, such a DLL is loaded on the
# first call into it, after the launcher has restricted the DLL search to the system folder
# (src/framework/winmain.cpp). The known DLLs (kernel32, user32, gdi32, advapi32, shell32,
# ole32, ws2_32, msvcrt) are always taken from the system folder; comctl32 comes from the
# side-by-side assembly that the manifest names.
#
#   include(cmake/delay-imports.cmake)
#   mirel_delay_import(version)   # -> target delay::version (libversion_delay.a)

find_program(MIREL_DLLTOOL NAMES ${TOOLCHAIN_PREFIX}-dlltool REQUIRED)
find_program(MIREL_NM NAMES ${TOOLCHAIN_PREFIX}-nm REQUIRED)
set(MIREL_DELAY_DIR ${CMAKE_BINARY_DIR}/delay-imports)
file(MAKE_DIRECTORY ${MIREL_DELAY_DIR})

function(mirel_delay_import name)
  find_file(_import_lib lib${name}.a PATHS ${CMAKE_FIND_ROOT_PATH}/lib NO_DEFAULT_PATH NO_CACHE REQUIRED)
  set(def ${MIREL_DELAY_DIR}/${name}.def)
  set(lib ${MIREL_DELAY_DIR}/lib${name}_delay.a)
  set(externs ${MIREL_DELAY_DIR}/${name}-thunks.ld)
  if(NOT EXISTS ${lib} OR NOT EXISTS ${externs} OR ${_import_lib} IS_NEWER_THAN ${lib}
     OR ${CMAKE_CURRENT_LIST_FILE} IS_NEWER_THAN ${lib})
    # Every function the system's import library names, with its stdcall decoration.
    execute_process(COMMAND ${MIREL_NM} ${_import_lib} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "delay import ${name}: ${MIREL_NM} failed")
    endif()
    string(REGEX MATCHALL "I __imp__[^\n]+" entries "${symbols}")
    set(text "LIBRARY ${name}.dll\nEXPORTS\n")
    # ld drops the code of an import member whose jump thunk nobody calls (only its __imp_
    # pointer); in a delay-import member that code is what loads the DLL, and the pointer
    # would stay null. Naming every thunk as required keeps them.
    set(thunks "")
    set(seen "")
    foreach(entry IN LISTS entries)
      string(REGEX REPLACE "^I __imp__" "" fn "${entry}")
      if(NOT fn IN_LIST seen)
        list(APPEND seen "${fn}")
        string(APPEND text "${fn}\n")
        string(APPEND thunks "EXTERN(\"_${fn}\")\n")
      endif()
    endforeach()
    file(WRITE ${def} "${text}")
    file(WRITE ${externs} "${thunks}")
    execute_process(COMMAND ${MIREL_DLLTOOL} -k -d ${def} -D ${name}.dll -y ${lib} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "delay import ${name}: ${MIREL_DLLTOOL} failed")
    endif()
  endif()
  add_library(delay::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(delay::${name} PROPERTIES IMPORTED_LOCATION ${lib} INTERFACE_LINK_OPTIONS ${externs})
endfunction()

foreach(_dll version wininet iphlpapi mswsock bcrypt)
  mirel_delay_import(${_dll})
endforeach()
# The helper that loads a delay-imported DLL on its first call.
set(MIREL_DELAY_IMPORTS delay::version delay::wininet delay::iphlpapi delay::mswsock delay::bcrypt)
