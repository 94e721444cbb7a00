# Injected into libtorrent's top-level CMakeLists right after its project()
# call (CMAKE_PROJECT_libtorrent_INCLUDE) by scripts/build-libtorrent.
#
# libtorrent builds fine as a unity build except for a few sources whose
# file-local helpers (anonymous namespaces, static functions, macros) clash
# with those of their neighbours once they share a translation unit. Those
# are kept out of the batches and compiled in two translation units of their
# own instead, grouped so that nothing in a group clashes (ed25519's sc.cpp
# and fe.cpp define the same static helpers, so they go to different ones):
# each file compiled alone would parse libtorrent's and Boost's headers again.
# Source file properties can be set before the target exists, and the two
# group files are added once libtorrent's CMakeLists is done, so nothing in it
# has to change.

set(_mirel_group_natpmp src/natpmp.cpp src/upnp.cpp src/puff.cpp src/posix_part_file.cpp
	src/ed25519/sc.cpp)
file(GLOB _mirel_group_ed25519 RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
	"${CMAKE_CURRENT_SOURCE_DIR}/src/ed25519/*.cpp")
list(REMOVE_ITEM _mirel_group_ed25519 src/ed25519/sc.cpp)

set(_mirel_group_files)
foreach(_group natpmp ed25519)
	set(_text "// Made by the build: the sources below compiled as one translation unit.\n")
	foreach(_src IN LISTS _mirel_group_${_group})
		string(APPEND _text "#include \"${CMAKE_CURRENT_SOURCE_DIR}/${_src}\"\n")
	endforeach()
	set(_file "${CMAKE_CURRENT_BINARY_DIR}/mirel_unity_${_group}.cxx")
	file(CONFIGURE OUTPUT "${_file}" CONTENT "${_text}")
	list(APPEND _mirel_group_files "${_file}")
	set_source_files_properties(${_mirel_group_${_group}}
		PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON HEADER_FILE_ONLY ON)
endforeach()
set_source_files_properties(${_mirel_group_files} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

function(_mirel_add_unity_groups)
	if(NOT TARGET torrent-rasterbar)
		message(FATAL_ERROR "unity-build.cmake: libtorrent's CMakeLists made no torrent-rasterbar target")
	endif()
	target_sources(torrent-rasterbar PRIVATE ${ARGN})
endfunction()
cmake_language(DEFER CALL _mirel_add_unity_groups ${_mirel_group_files})

unset(_file)
unset(_group)
unset(_src)
unset(_text)
