#include "common/Diagnostics.h"

#include <cstdarg>

void DiagnosticLine(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
}
