// A PE image opened for checking: its headers, data directories and section table read as
// untrusted bytes through a bounds-checked view, and the way from an RVA to the bytes that
// back it. A read that does not fit throws Malformed, which each check turns into a finding.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/pe.h"

namespace pecheck {

// Thrown by a read that would leave the bytes it was given; caught per check.
struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A bounds-checked window on the file (or on part of it).
inline constexpr char kData[] = "data";
using View = pe::View<pe::Throw<Malformed, kData>>;

inline constexpr size_t kChecksumFieldOffset = 64;  // within the optional header

// "0x1C": the hex form the findings use.
std::string Hex(uint32_t value);

using Section = pe::SectionHeader;

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

class Image {
public:
    explicit Image(const std::vector<uint8_t>& file) : file_(file.data(), file.size()) {}

    // Headers and section table; throws Malformed when they cannot be read.
    void ReadHeaders()
    {
        size_t coff = 0;
        if (const char* missing = pe::FindCoffHeader(file_, coff)) {
            throw Malformed(std::string("no ") + missing + " signature");
        }
        machine = file_.U16(coff, "Machine");
        const uint16_t sectionCount = file_.U16(coff + 2, "NumberOfSections");
        const uint16_t optionalSize = file_.U16(coff + 16, "SizeOfOptionalHeader");
        characteristics = file_.U16(coff + 18, "Characteristics");

        const size_t opt = coff + pe::kCoffHeaderSize;
        if (optionalSize < pe::kOptionalHeaderFixedSize) {
            throw Malformed("optional header too short for PE32");
        }
        const View header = file_.Sub(opt, optionalSize, "optional header");
        if (header.U16(0, "Magic") != pe::kPe32Magic) {
            throw Malformed("optional header is not PE32");
        }
        entryPoint = header.U32(16, "AddressOfEntryPoint");
        sizeOfImage = header.U32(56, "SizeOfImage");
        sizeOfHeaders = header.U32(60, "SizeOfHeaders");
        checksum = header.U32(kChecksumFieldOffset, "CheckSum");
        checksumOffset = opt + kChecksumFieldOffset;
        subsystem = header.U16(68, "Subsystem");
        dllCharacteristics = header.U16(70, "DllCharacteristics");
        const uint32_t directoryCount = header.U32(92, "NumberOfRvaAndSizes");
        const size_t room = (optionalSize - pe::kOptionalHeaderFixedSize) / pe::kDataDirectorySize;
        if (directoryCount > room) {
            throw Malformed("data directories overrun the optional header");
        }
        for (uint32_t i = 0; i < directoryCount && i < directories_.size(); ++i) {
            const size_t at = pe::kOptionalHeaderFixedSize + i * pe::kDataDirectorySize;
            directories_[i] = {header.U32(at, "data directory"),
                               header.U32(at + 4, "data directory")};
        }
        if (sizeOfHeaders > file_.size() || sizeOfHeaders > sizeOfImage) {
            throw Malformed("SizeOfHeaders beyond the file or the image");
        }

        const size_t table = opt + optionalSize;
        file_.Need(table, size_t(sectionCount) * pe::kSectionHeaderSize, "section table");
        for (uint16_t i = 0; i < sectionCount; ++i) {
            const size_t at = table + size_t(i) * pe::kSectionHeaderSize;
            const Section s = pe::ReadSectionHeader(file_, at);
            if (s.rawSize != 0 && !file_.Fits(s.rawOffset, s.rawSize)) {
                throw Malformed("section " + s.name + " lies outside the file");
            }
            const uint64_t end = uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize);
            if (s.virtualAddress < sizeOfHeaders || end > sizeOfImage) {
                throw Malformed("section " + s.name + " lies outside the image");
            }
            sections.push_back(s);
        }
    }

    DataDirectory Dir(size_t index) const { return directories_[index]; }

    // The bytes the image holds from rva on, as far as the file backs them: the headers, or
    // the initialised part of one section.
    View At(uint32_t rva, size_t length, const char* what) const
    {
        if (rva < sizeOfHeaders) {
            return file_.Sub(rva, length, what);
        }
        return From(rva, what).Sub(0, length, what);
    }
    // Everything the file backs from rva on, up to the end of the headers or of its section.
    View From(uint32_t rva, const char* what) const
    {
        if (rva < sizeOfHeaders) {
            return file_.Sub(rva, sizeOfHeaders - rva, what);
        }
        for (const Section& s : sections) {
            const uint32_t backed =
                s.virtualSize == 0 ? s.rawSize : std::min(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < backed) {
                const uint32_t delta = rva - s.virtualAddress;
                return file_.Sub(s.rawOffset + size_t(delta), backed - delta, what);
            }
        }
        throw Malformed(std::string(what) + " at " + Hex(rva) + " is not in the file");
    }
    const View& file() const { return file_; }

    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint32_t entryPoint = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checksum = 0;
    size_t checksumOffset = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<Section> sections;

private:
    View file_;
    std::array<DataDirectory, 16> directories_{};
};

}  // namespace pecheck
