// The PE32 mapper of the i386 loader. Headers and directories are read from the file with
// every offset checked; the image is built in an anonymous mapping and handed out only when
// all sections, relocations and imports are in place.
#include "image/loader/peimage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace peimage {
namespace {

struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint16_t kDosMagic = 0x5A4D;
constexpr size_t kLfanewOffset = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalFixedSize = 96;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kDirImport = 1;
constexpr size_t kDirBaseReloc = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint32_t kImportByOrdinal = 0x80000000;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr size_t kMaxName = 255;
// A driver image is a few pages; a larger SizeOfImage is a damaged header, not a driver.
constexpr uint32_t kMaxImageSize = 16u * 1024u * 1024u;

// Little-endian reads that refuse to leave the bytes they are given.
struct Bounded {
    const uint8_t* data;
    size_t size;

    void Need(size_t offset, size_t length, const char* what) const
    {
        if (offset > size || length > size - offset) {
            throw Refused(std::string(what) + " lies outside the file");
        }
    }
    uint16_t U16(size_t offset, const char* what) const
    {
        Need(offset, 2, what);
        return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
    }
    uint32_t U32(size_t offset, const char* what) const
    {
        Need(offset, 4, what);
        return uint32_t(data[offset]) | (uint32_t(data[offset + 1]) << 8) |
               (uint32_t(data[offset + 2]) << 16) | (uint32_t(data[offset + 3]) << 24);
    }
    std::string CString(size_t offset, const char* what) const
    {
        std::string text;
        for (size_t i = 0; i <= kMaxName; ++i) {
            Need(offset + i, 1, what);
            if (data[offset + i] == 0) {
                return text;
            }
            text.push_back(static_cast<char>(data[offset + i]));
        }
        throw Refused(std::string(what) + " is not terminated");
    }
};

struct Header {
    uint32_t entry = 0;
    uint32_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t importRva = 0;
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
};

struct RawSection {
    MappedSection mapped;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
};

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return text;
}

void ReadHeaders(const Bounded& file, Header& header, std::vector<RawSection>& sections)
{
    if (file.U16(0, "DOS header") != kDosMagic) {
        throw Refused("not a PE file (no MZ signature)");
    }
    const uint32_t lfanew = file.U32(kLfanewOffset, "DOS header");
    if (file.U32(lfanew, "PE signature") != kPeSignature) {
        throw Refused("not a PE file (no PE signature)");
    }
    const size_t coff = size_t(lfanew) + 4;
    file.Need(coff, kCoffHeaderSize, "COFF header");
    if (file.U16(coff, "Machine") != kMachineI386) {
        throw Refused("not an i386 image");
    }
    const uint16_t count = file.U16(coff + 2, "NumberOfSections");
    const uint16_t optionalSize = file.U16(coff + 16, "SizeOfOptionalHeader");
    const size_t opt = coff + kCoffHeaderSize;
    if (optionalSize < kOptionalFixedSize + 8 * (kDirBaseReloc + 1)) {
        throw Refused("optional header too short");
    }
    file.Need(opt, optionalSize, "optional header");
    if (file.U16(opt, "Magic") != kPe32Magic) {
        throw Refused("not a PE32 image");
    }
    header.entry = file.U32(opt + 16, "AddressOfEntryPoint");
    header.imageBase = file.U32(opt + 28, "ImageBase");
    header.sectionAlignment = file.U32(opt + 32, "SectionAlignment");
    header.sizeOfImage = file.U32(opt + 56, "SizeOfImage");
    header.sizeOfHeaders = file.U32(opt + 60, "SizeOfHeaders");
    const uint32_t directories = file.U32(opt + 92, "NumberOfRvaAndSizes");
    if (directories <= kDirBaseReloc ||
        kOptionalFixedSize + 8 * size_t(directories) > optionalSize) {
        throw Refused("data directories missing or overrunning the optional header");
    }
    header.importRva = file.U32(opt + kOptionalFixedSize + 8 * kDirImport, "import directory");
    header.relocRva = file.U32(opt + kOptionalFixedSize + 8 * kDirBaseReloc, "reloc directory");
    header.relocSize =
        file.U32(opt + kOptionalFixedSize + 8 * kDirBaseReloc + 4, "reloc directory");
    if (header.sizeOfImage == 0 || header.sizeOfImage > kMaxImageSize) {
        throw Refused("SizeOfImage out of range");
    }
    if (header.sizeOfHeaders > header.sizeOfImage || header.sizeOfHeaders > file.size) {
        throw Refused("headers larger than the image or the file");
    }
    if (header.entry < header.sizeOfHeaders || header.entry >= header.sizeOfImage) {
        throw Refused("entry point outside the image's sections");
    }

    const size_t table = opt + optionalSize;
    file.Need(table, size_t(count) * kSectionHeaderSize, "section table");
    for (uint16_t i = 0; i < count; ++i) {
        const size_t at = table + size_t(i) * kSectionHeaderSize;
        RawSection s;
        s.mapped.name = std::string(reinterpret_cast<const char*>(file.data + at),
                                    strnlen(reinterpret_cast<const char*>(file.data + at), 8));
        const uint32_t virtualSize = file.U32(at + 8, "section header");
        s.mapped.rva = file.U32(at + 12, "section header");
        s.rawSize = file.U32(at + 16, "section header");
        s.rawOffset = file.U32(at + 20, "section header");
        s.mapped.characteristics = file.U32(at + 36, "section header");
        s.mapped.size = std::max(virtualSize, s.rawSize);
        if (s.rawSize != 0) {
            file.Need(s.rawOffset, s.rawSize, ("section " + s.mapped.name).c_str());
        }
        if (s.mapped.rva < header.sizeOfHeaders ||
            uint64_t(s.mapped.rva) + s.mapped.size > header.sizeOfImage) {
            throw Refused("section " + s.mapped.name + " lies outside the image");
        }
        for (const RawSection& other : sections) {
            if (s.mapped.rva < other.mapped.rva + other.mapped.size &&
                other.mapped.rva < s.mapped.rva + s.mapped.size) {
                throw Refused("sections " + other.mapped.name + " and " + s.mapped.name +
                              " overlap");
            }
        }
        sections.push_back(s);
    }
}

// Base relocations, read from the mapped image: every HIGHLOW word gets the load delta.
unsigned Relocate(uint8_t* base, const Header& header, uint32_t delta)
{
    if (header.relocRva == 0 || header.relocSize == 0) {
        throw Refused("no base relocations: the image cannot run away from its preferred base");
    }
    const Bounded image{base, header.sizeOfImage};
    image.Need(header.relocRva, header.relocSize, "relocation directory");
    const Bounded relocs{base + header.relocRva, header.relocSize};
    unsigned applied = 0;
    for (size_t at = 0; at < relocs.size;) {
        const uint32_t page = relocs.U32(at, "relocation block");
        const uint32_t blockSize = relocs.U32(at + 4, "relocation block");
        if (blockSize < 8 || blockSize % 2 != 0) {
            throw Refused("relocation block of size " + std::to_string(blockSize));
        }
        relocs.Need(at, blockSize, "relocation block");
        for (size_t e = at + 8; e < at + blockSize; e += 2) {
            const uint16_t entry = relocs.U16(e, "relocation entry");
            const uint16_t type = entry >> 12;
            if (type == kRelocAbsolute) {
                continue;
            }
            if (type != kRelocHighLow) {
                throw Refused("relocation of type " + std::to_string(type));
            }
            const uint64_t wide = uint64_t(page) + (entry & 0x0FFF);
            if (wide + 4 > header.sizeOfImage) {
                throw Refused("relocation target outside the image");
            }
            const auto target = static_cast<size_t>(wide);
            const uint32_t value = image.U32(target, "relocation target") + delta;
            for (int i = 0; i < 4; ++i) {
                base[target + i] = static_cast<uint8_t>(value >> (8 * i));
            }
            ++applied;
        }
        at += blockSize;
    }
    return applied;
}

unsigned BindImports(uint8_t* base, const Header& header, const ImportResolver& resolve)
{
    if (header.importRva == 0) {
        return 0;
    }
    const Bounded image{base, header.sizeOfImage};
    unsigned bound = 0;
    for (size_t at = header.importRva;; at += kImportDescriptorSize) {
        const uint32_t lookup = image.U32(at, "import descriptor");
        const uint32_t nameRva = image.U32(at + 12, "import descriptor");
        const uint32_t iat = image.U32(at + 16, "import descriptor");
        if (lookup == 0 && nameRva == 0 && iat == 0) {
            return bound;
        }
        const std::string module = Upper(image.CString(nameRva, "import module name"));
        const uint32_t names = lookup != 0 ? lookup : iat;
        for (size_t t = 0;; t += 4) {
            const uint32_t thunk = image.U32(names + t, "import lookup table");
            image.Need(iat + t, 4, "import address table");
            if (thunk == 0) {
                break;
            }
            if (thunk & kImportByOrdinal) {
                throw Refused("import by ordinal from " + module + " cannot be bound");
            }
            const std::string name = image.CString(size_t(thunk) + 2, "import name");
            void* const address = resolve(module, name);
            if (address == nullptr) {
                throw Refused("import " + module + "!" + name + " cannot be bound");
            }
            const auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
            for (int i = 0; i < 4; ++i) {
                base[iat + t + i] = static_cast<uint8_t>(value >> (8 * i));
            }
            ++bound;
        }
    }
}

// Section protections as the image asks for them, so that a write into read-only data
// faults here as it would in the kernel.
void Protect(uint8_t* base, const Header& header, const std::vector<RawSection>& sections)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || header.sectionAlignment % static_cast<uint32_t>(page) != 0) {
        return;  // sections share pages: leave everything readable, writable and executable
    }
    const auto roundUp = [&](uint32_t v) {
        return (v + static_cast<uint32_t>(page) - 1) & ~(static_cast<uint32_t>(page) - 1);
    };
    mprotect(base, roundUp(header.sizeOfHeaders), PROT_READ);
    for (const RawSection& s : sections) {
        int prot = PROT_NONE;
        if (s.mapped.characteristics & kScnRead) {
            prot |= PROT_READ;
        }
        if (s.mapped.characteristics & kScnWrite) {
            prot |= PROT_WRITE | PROT_READ;
        }
        if (s.mapped.characteristics & kScnExecute) {
            prot |= PROT_EXEC | PROT_READ;
        }
        if (s.mapped.size != 0) {
            mprotect(base + s.mapped.rva, roundUp(s.mapped.size), prot);
        }
    }
}

}  // namespace

LoadedImage::~LoadedImage()
{
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
}

uint32_t LoadedImage::delta() const
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_)) - preferredBase_;
}

bool LoadedImage::Contains(const void* address) const
{
    const auto* p = static_cast<const uint8_t*>(address);
    return p >= base_ && p < base_ + size_;
}

bool LoadedImage::InCode(const void* address) const
{
    const auto* p = static_cast<const uint8_t*>(address);
    for (const MappedSection& s : sections_) {
        if ((s.characteristics & kScnExecute) && p >= base_ + s.rva && p < base_ + s.rva + s.size) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<LoadedImage> LoadedImage::Map(const std::vector<uint8_t>& file,
                                              const ImportResolver& resolve, std::string& error)
{
    static_assert(sizeof(void*) == 4, "the image runs only in a 32-bit process");
    std::unique_ptr<LoadedImage> image(new LoadedImage());
    try {
        const Bounded bytes{file.data(), file.size()};
        Header header;
        std::vector<RawSection> sections;
        ReadHeaders(bytes, header, sections);

        void* const memory = mmap(nullptr, header.sizeOfImage, PROT_READ | PROT_WRITE | PROT_EXEC,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw Refused("cannot map " + std::to_string(header.sizeOfImage) + " bytes");
        }
        image->base_ = static_cast<uint8_t*>(memory);
        image->size_ = header.sizeOfImage;
        image->preferredBase_ = header.imageBase;
        image->entryRva_ = header.entry;

        std::memcpy(image->base_, file.data(), header.sizeOfHeaders);
        for (const RawSection& s : sections) {
            const uint32_t copy = std::min(s.rawSize, s.mapped.size);
            if (copy != 0) {
                std::memcpy(image->base_ + s.mapped.rva, file.data() + s.rawOffset, copy);
            }
            image->sections_.push_back(s.mapped);
        }
        if (!image->InCode(image->entry())) {
            throw Refused("entry point is not in an executable section");
        }
        image->relocations_ = Relocate(image->base_, header, image->delta());
        image->imports_ = BindImports(image->base_, header, resolve);
        Protect(image->base_, header, sections);
    } catch (const Refused& e) {
        error = e.what();
        return nullptr;
    }
    return image;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": cannot read";
        return false;
    }
    return true;
}

}  // namespace peimage
