# libtorrent-rasterbar for the 32-bit Windows build, as cross-built by
# scripts/build-libtorrent (static library, Boost headers copied next to it).
#
#   include(cmake/libtorrent.cmake)
#   target_link_libraries(app PRIVATE libtorrent::torrent-rasterbar)
#
# LIBTORRENT_PREFIX is the folder printed by `scripts/build-libtorrent
# --print-prefix`; when it is not given, the script is asked for it.
#
# Everything below has to match how the library was compiled: a definition
# that differs between the library and the program changes the layout of
# libtorrent's classes and breaks at run time, not at link time.

if(TARGET libtorrent::torrent-rasterbar)
  return()
endif()

set(LIBTORRENT_PREFIX "" CACHE PATH
  "Install prefix of the cross-built libtorrent (scripts/build-libtorrent --print-prefix)")

if(NOT LIBTORRENT_PREFIX)
  execute_process(
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/build-libtorrent" --print-prefix
    OUTPUT_VARIABLE _lt_prefix
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _lt_result)
  if(NOT _lt_result EQUAL 0 OR NOT _lt_prefix)
    message(FATAL_ERROR "libtorrent: pass -DLIBTORRENT_PREFIX=<prefix> "
      "(scripts/build-libtorrent --print-prefix failed)")
  endif()
  set(LIBTORRENT_PREFIX "${_lt_prefix}" CACHE PATH
    "Install prefix of the cross-built libtorrent (scripts/build-libtorrent --print-prefix)" FORCE)
  unset(_lt_prefix)
  unset(_lt_result)
endif()

set(_lt_lib "${LIBTORRENT_PREFIX}/lib/libtorrent-rasterbar.a")
if(NOT EXISTS "${LIBTORRENT_PREFIX}/.complete"
   OR NOT EXISTS "${_lt_lib}"
   OR NOT EXISTS "${LIBTORRENT_PREFIX}/include/libtorrent/session.hpp"
   OR NOT EXISTS "${LIBTORRENT_PREFIX}/boost-include/boost/version.hpp")
  message(FATAL_ERROR "libtorrent: no complete build in '${LIBTORRENT_PREFIX}'; "
    "run scripts/build-libtorrent first")
endif()

# The definitions the program shares with the library, as scripts/build-libtorrent
# wrote them beside it: a program that differs would build and link, and meet
# other class layouts at run time.
set(_lt_defs _WIN32_WINNT=0x0600 WIN32_LEAN_AND_MEAN BOOST_ASIO_ENABLE_CANCELIO
  BOOST_ASIO_NO_DEPRECATED TORRENT_NO_DEPRECATE TORRENT_DISABLE_LOGGING TORRENT_USE_I2P=0)
if(NOT EXISTS "${LIBTORRENT_PREFIX}/DEFINITIONS")
  message(FATAL_ERROR "libtorrent: '${LIBTORRENT_PREFIX}' does not say which definitions it was "
    "built with; run scripts/build-libtorrent")
endif()
file(STRINGS "${LIBTORRENT_PREFIX}/DEFINITIONS" _lt_built_defs)
set(_lt_ours ${_lt_defs})
list(SORT _lt_ours)
list(SORT _lt_built_defs)
if(NOT _lt_ours STREQUAL _lt_built_defs)
  string(REPLACE ";" " " _lt_ours "${_lt_ours}")
  string(REPLACE ";" " " _lt_built_defs "${_lt_built_defs}")
  message(FATAL_ERROR "libtorrent: the program would be compiled with ${_lt_ours}, "
    "the library was built with ${_lt_built_defs}: keep cmake/libtorrent.cmake and "
    "scripts/build-libtorrent in step")
endif()
unset(_lt_ours)
unset(_lt_built_defs)

find_package(Threads REQUIRED)

add_library(libtorrent::torrent-rasterbar STATIC IMPORTED GLOBAL)
set_target_properties(libtorrent::torrent-rasterbar PROPERTIES
  IMPORTED_LOCATION "${_lt_lib}"
  IMPORTED_LINK_INTERFACE_LANGUAGES CXX
  # Imported include directories are passed as -isystem, which also keeps
  # libtorrent's and Boost's warnings out of the program's build.
  INTERFACE_INCLUDE_DIRECTORIES
    "${LIBTORRENT_PREFIX}/include;${LIBTORRENT_PREFIX}/boost-include"
  # Same as libtorrent's own build (scripts/build-libtorrent checks that it
  # still sets these). Deliberately no TORRENT_USE_ASSERTS, which upstream
  # adds for Debug builds: the library is a Release build and the define
  # changes class layouts.
  INTERFACE_COMPILE_DEFINITIONS "${_lt_defs}"
  # With mingw-w64 on i686, std::max_align_t has alignment 16 or 8 depending
  # on whether GCC's or mingw's <stddef.h> comes first in a translation unit.
  # libtorrent's headers are patched not to depend on it; including <cstddef>
  # up front (as the library build does) also makes it the same everywhere in
  # the program. A target with libtorrent's headers precompiled
  # (mirel_libtorrent_pch below) gets <cstddef> first in its precompiled
  # header instead: GCC uses a precompiled header only when nothing comes
  # before it.
  INTERFACE_COMPILE_OPTIONS
    "$<$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<BOOL:$<TARGET_PROPERTY:MIREL_LIBTORRENT_PCH>>>>:SHELL:-include cstddef>"
  INTERFACE_COMPILE_FEATURES cxx_std_17
  INTERFACE_LINK_LIBRARIES
    "Threads::Threads;bcrypt;mswsock;ws2_32;iphlpapi"
)
unset(_lt_lib)
unset(_lt_defs)

# libtorrent's and Boost's headers, parsed once and precompiled for the targets
# that include them in most of their files: each of those files would
# otherwise spend 1 to 4 s of its 2 to 8 s on them. <cstddef> comes first, as
# the -include above puts it everywhere else. The first target named makes the
# precompiled header and the others reuse it (they share its compile options).
# GCC's -Winvalid-pch, which CMake adds, makes an unusable one fail the build.
# Files of those targets that include nothing of libtorrent are named with
# mirel_without_libtorrent_pch: loading the header would cost them about 1 s
# each and add the headers' static objects to them.
function(mirel_libtorrent_pch first)
  target_precompile_headers(${first} PRIVATE
    "$<$<COMPILE_LANGUAGE:CXX>:<cstddef$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/session.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/alert_types.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/disk_interface.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/torrent_info.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/torrent_handle.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/torrent_status.hpp$<ANGLE-R>>"
    "$<$<COMPILE_LANGUAGE:CXX>:<libtorrent/peer_info.hpp$<ANGLE-R>>")
  set_target_properties(${first} PROPERTIES MIREL_LIBTORRENT_PCH ON)
  foreach(other IN LISTS ARGN)
    target_precompile_headers(${other} REUSE_FROM ${first})
    set_target_properties(${other} PROPERTIES MIREL_LIBTORRENT_PCH ON)
  endforeach()
endfunction()

function(mirel_without_libtorrent_pch)
  set_source_files_properties(${ARGN} PROPERTIES SKIP_PRECOMPILE_HEADERS ON
    COMPILE_OPTIONS "-include;cstddef")
endfunction()
