#include "ui/SizeText.h"

#include <cstdio>
#include <cstring>

void FormatSize(float count, char* out, size_t size) {
    std::memset(out, 0, size);
    double value = count;
    if (value > 1048576.0)
        std::snprintf(out, size, "%dM", static_cast<int>(value / 1048576.0));
    else if (value > 1024.0)
        std::snprintf(out, size, "%dK", static_cast<int>(value / 1024.0));
    else
        std::snprintf(out, size, "%d", static_cast<int>(value));
}
