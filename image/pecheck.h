// Checks that a file is a VELMDAT.SYS fit for the platform: an i386 native image that imports
// only the tape class driver's four services, carries its relocations, a correct checksum,
// the version resource and the identification string, and nothing a kernel cannot run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pecheck {

// What a finding is about. Malformed: the file cannot be read as a PE image at all.
enum class Check {
    Malformed,
    Machine,
    Characteristics,
    Subsystem,
    DllCharacteristics,
    Checksum,
    Relocations,
    Sections,
    EntryPoint,
    Imports,
    Version,
    Identification,
};
const char* CheckName(Check check);

struct Finding {
    Check check;
    std::string detail;
};

// Every failed check of the file; empty when the image passes. Reads only inside the bytes
// given, whatever they hold.
std::vector<Finding> CheckImage(const std::vector<uint8_t>& file);

// The optional header's checksum of a file whose CheckSum field sits at checksumOffset:
// 16-bit little-endian words with end-around carry, the field itself skipped, an odd last
// byte padded with zero, folded once more, plus the file length.
uint32_t ImageChecksum(const std::vector<uint8_t>& file, size_t checksumOffset);

// Offset of the optional header's CheckSum field, if the file has one.
bool ChecksumOffset(const std::vector<uint8_t>& file, size_t& offset);

}  // namespace pecheck
