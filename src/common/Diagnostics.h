// Diagnostic lines: progress on the standard output, failures on the standard error stream.
// The windowed program shows neither; a console or a log catches them.
#pragma once
#include <cstdio>

// Writes one formatted line to `stream` (stdout or stderr) at once.
void DiagnosticLine(std::FILE* stream, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
