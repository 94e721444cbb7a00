# Injected into libtorrent's top-level CMakeLists right after its project()
# call (CMAKE_PROJECT_libtorrent_INCLUDE) by scripts/build-libtorrent.
#
# libtorrent builds fine as a unity build except for a few sources whose
# file-local helpers (anonymous namespaces, static functions, macros) clash
# with those of their neighbours once they share a translation unit. Those
# are compiled on their own. Source file properties can be set before the
# target exists, so nothing in libtorrent's own CMakeLists has to change.

set(_mirel_unity_skip
	src/natpmp.cpp
	src/upnp.cpp
	src/puff.cpp
	src/posix_part_file.cpp
)
file(GLOB _mirel_ed25519 RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
	"${CMAKE_CURRENT_SOURCE_DIR}/src/ed25519/*.cpp")
list(APPEND _mirel_unity_skip ${_mirel_ed25519})

set_source_files_properties(${_mirel_unity_skip}
	PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

unset(_mirel_ed25519)
unset(_mirel_unity_skip)
