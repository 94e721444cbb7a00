// The packed download file: two little-endian 32-bit sizes, then one zlib stream.
#pragma once
#include <cstdint>
#include <string>

// Packs plain content into the packed form (used by the publisher's packer and by tests).
std::string PackContent(const std::string& plain, int level = 9);
