// The size label's text: how much has arrived out of how much is wanted, such as "512K/700M".
#pragma once
#include <cstddef>

// One byte count as the label shows it: whole mebibytes ("700M") above 1 MiB, whole kibibytes
// ("512K") above 1 KiB, else bytes. `out` is cleared whole first.
void FormatSize(float count, char* out, size_t size);
