#include "torrent/DiskErrors.h"

lt::error_code Win32Error(DWORD e) { return lt::error_code(static_cast<int>(e), lt::system_category()); }

lt::error_code LibraryError(const std::error_code& e) {
    if (e.category() == std::system_category()) return lt::error_code(e.value(), lt::system_category());
    return lt::error_code(e.value(), lt::generic_category());
}

bool IsDiskFull(const lt::storage_error& e) {
    return e.ec.category() == lt::system_category() &&
           (e.ec.value() == ERROR_DISK_FULL || e.ec.value() == ERROR_HANDLE_DISK_FULL);
}
