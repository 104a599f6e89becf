// What the image checker and the i386 loader both need to read a PE32 file as untrusted bytes:
// the format's constants, a bounds-checked little-endian window on the bytes, the way from the
// DOS header to the COFF header and the section table's entries. Header-only and standard
// library only: it is compiled into the 64-bit tools and into the 32-bit loader alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace pe {

// Constants, named as the format names them.
inline constexpr uint16_t kDosMagic = 0x5A4D;  // "MZ"
inline constexpr size_t kDosLfanewOffset = 0x3C;
inline constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
inline constexpr size_t kCoffHeaderSize = 20;
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kPe32Magic = 0x010B;
inline constexpr size_t kOptionalHeaderFixedSize = 96;
inline constexpr size_t kDataDirectorySize = 8;
inline constexpr size_t kSectionHeaderSize = 40;

// Indexes into the optional header's data directories.
inline constexpr size_t kDirImport = 1;
inline constexpr size_t kDirResource = 2;
inline constexpr size_t kDirException = 3;
inline constexpr size_t kDirBaseReloc = 5;
inline constexpr size_t kDirTls = 9;
inline constexpr size_t kDirLoadConfig = 10;
inline constexpr size_t kDirBoundImport = 11;
inline constexpr size_t kDirDelayImport = 13;
inline constexpr size_t kDirClr = 14;

inline constexpr uint32_t kScnCode = 0x00000020;
inline constexpr uint32_t kScnInitializedData = 0x00000040;
inline constexpr uint32_t kScnExecute = 0x20000000;
inline constexpr uint32_t kScnRead = 0x40000000;
inline constexpr uint32_t kScnWrite = 0x80000000;

inline constexpr uint16_t kRelocAbsolute = 0;
inline constexpr uint16_t kRelocHighLow = 3;

inline constexpr uint32_t kImportByOrdinal = 0x80000000;
inline constexpr size_t kImportDescriptorSize = 20;
inline constexpr size_t kMaxNameLength = 255;

// A bounds-checked window on the bytes (or on part of them). What a read that does not fit
// leads to is the reader's own affair: Reaction supplies
//   [[noreturn]] static void Outside(const char* what);       a read past the window
//   [[noreturn]] static void Unterminated(const char* what);  a string without its NUL
template <typename Reaction>
class View {
public:
    View() = default;
    View(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t size() const { return size_; }
    const uint8_t* data() const { return data_; }

    bool Fits(size_t offset, size_t length) const
    {
        return offset <= size_ && length <= size_ - offset;
    }
    void Need(size_t offset, size_t length, const char* what) const
    {
        if (!Fits(offset, length)) {
            Reaction::Outside(what);
        }
    }
    uint8_t U8(size_t offset, const char* what) const
    {
        Need(offset, 1, what);
        return data_[offset];
    }
    uint16_t U16(size_t offset, const char* what) const
    {
        Need(offset, 2, what);
        return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    }
    uint32_t U32(size_t offset, const char* what) const
    {
        Need(offset, 4, what);
        return uint32_t(data_[offset]) | (uint32_t(data_[offset + 1]) << 8) |
               (uint32_t(data_[offset + 2]) << 16) | (uint32_t(data_[offset + 3]) << 24);
    }
    View Sub(size_t offset, size_t length, const char* what) const
    {
        Need(offset, length, what);
        return View(data_ + offset, length);
    }
    // A NUL-terminated byte string of at most maxLength characters.
    std::string CString(size_t offset, size_t maxLength, const char* what) const
    {
        std::string text;
        for (size_t i = 0;; ++i) {
            const uint8_t c = U8(offset + i, what);
            if (c == 0) {
                return text;
            }
            if (i == maxLength) {
                Reaction::Unterminated(what);
            }
            text.push_back(static_cast<char>(c));
        }
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The reaction of a reader that gives up by throwing Error; whole names, in the reason, what
// the reader's windows lie on.
template <typename Error, const char* whole>
struct Throw {
    [[noreturn]] static void Outside(const char* what)
    {
        throw Error(std::string(what) + " lies outside the " + whole);
    }
    [[noreturn]] static void Unterminated(const char* what)
    {
        throw Error(std::string(what) + " is not terminated");
    }
};

// Walks from the DOS header to the COFF header: the MZ signature, the pointer at 0x3C, the PE
// signature there, then the COFF header right behind it, which must lie in the file. Returns
// the signature that is missing ("MZ" or "PE") or nullptr, with coff set, when both are there.
template <typename Reaction>
const char* FindCoffHeader(const View<Reaction>& file, size_t& coff)
{
    if (file.U16(0, "DOS header") != kDosMagic) {
        return "MZ";
    }
    const uint32_t lfanew = file.U32(kDosLfanewOffset, "DOS header");
    if (file.U32(lfanew, "PE signature") != kPeSignature) {
        return "PE";
    }
    coff = size_t(lfanew) + 4;
    file.Need(coff, kCoffHeaderSize, "COFF header");
    return nullptr;
}

// One entry of the section table as the file states it, nothing checked beyond its bytes.
struct SectionHeader {
    std::string name;
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
    uint32_t characteristics = 0;
};

// The entry at offset at; the caller has made sure the whole table lies in the file.
template <typename Reaction>
SectionHeader ReadSectionHeader(const View<Reaction>& file, size_t at)
{
    SectionHeader s;
    // The name fills its eight bytes without a NUL when it is eight characters long.
    s.name = std::string(reinterpret_cast<const char*>(file.data() + at),
                         strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
    s.virtualSize = file.U32(at + 8, "section header");
    s.virtualAddress = file.U32(at + 12, "section header");
    s.rawSize = file.U32(at + 16, "section header");
    s.rawOffset = file.U32(at + 20, "section header");
    s.characteristics = file.U32(at + 36, "section header");
    return s;
}

}  // namespace pe
