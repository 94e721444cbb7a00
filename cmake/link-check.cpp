// The one source of the link-check DLLs (see CMakeLists.txt): everything they hold comes from
// the library under check.
