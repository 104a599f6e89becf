// The PE32 mapper of the i386 loader. Headers and directories are read from the file with
// every offset checked; the image is built in an anonymous mapping and handed out only when
// all sections, relocations and imports are in place.
#include "image/loader/peimage.h"

#include "image/pe.h"

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

// Little-endian reads that refuse the file when they would leave the bytes they are given.
constexpr char kFile[] = "file";
using Bounded = pe::View<pe::Throw<Refused, kFile>>;

// A driver image is a few pages; a larger SizeOfImage is a damaged header, not a driver.
constexpr uint32_t kMaxImageSize = 16u * 1024u * 1024u;

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
    size_t coff = 0;
    if (const char* missing = pe::FindCoffHeader(file, coff)) {
        throw Refused(std::string("not a PE file (no ") + missing + " signature)");
    }
    if (file.U16(coff, "Machine") != pe::kMachineI386) {
        throw Refused("not an i386 image");
    }
    const uint16_t count = file.U16(coff + 2, "NumberOfSections");
    const uint16_t optionalSize = file.U16(coff + 16, "SizeOfOptionalHeader");
    const size_t opt = coff + pe::kCoffHeaderSize;
    if (optionalSize <
        pe::kOptionalHeaderFixedSize + pe::kDataDirectorySize * (pe::kDirBaseReloc + 1)) {
        throw Refused("optional header too short");
    }
    file.Need(opt, optionalSize, "optional header");
    if (file.U16(opt, "Magic") != pe::kPe32Magic) {
        throw Refused("not a PE32 image");
    }
    header.entry = file.U32(opt + 16, "AddressOfEntryPoint");
    header.imageBase = file.U32(opt + 28, "ImageBase");
    header.sectionAlignment = file.U32(opt + 32, "SectionAlignment");
    header.sizeOfImage = file.U32(opt + 56, "SizeOfImage");
    header.sizeOfHeaders = file.U32(opt + 60, "SizeOfHeaders");
    const uint32_t directories = file.U32(opt + 92, "NumberOfRvaAndSizes");
    if (directories <= pe::kDirBaseReloc ||
        pe::kOptionalHeaderFixedSize + pe::kDataDirectorySize * size_t(directories) >
            optionalSize) {
        throw Refused("data directories missing or overrunning the optional header");
    }
    const size_t directory = opt + pe::kOptionalHeaderFixedSize;
    header.importRva =
        file.U32(directory + pe::kDataDirectorySize * pe::kDirImport, "import directory");
    header.relocRva =
        file.U32(directory + pe::kDataDirectorySize * pe::kDirBaseReloc, "reloc directory");
    header.relocSize =
        file.U32(directory + pe::kDataDirectorySize * pe::kDirBaseReloc + 4, "reloc directory");
    if (header.sizeOfImage == 0 || header.sizeOfImage > kMaxImageSize) {
        throw Refused("SizeOfImage out of range");
    }
    if (header.sizeOfHeaders > header.sizeOfImage || header.sizeOfHeaders > file.size()) {
        throw Refused("headers larger than the image or the file");
    }
    if (header.entry < header.sizeOfHeaders || header.entry >= header.sizeOfImage) {
        throw Refused("entry point outside the image's sections");
    }

    const size_t table = opt + optionalSize;
    file.Need(table, size_t(count) * pe::kSectionHeaderSize, "section table");
    for (uint16_t i = 0; i < count; ++i) {
        const size_t at = table + size_t(i) * pe::kSectionHeaderSize;
        const pe::SectionHeader stated = pe::ReadSectionHeader(file, at);
        RawSection s;
        s.mapped.name = stated.name;
        s.mapped.rva = stated.virtualAddress;
        s.rawSize = stated.rawSize;
        s.rawOffset = stated.rawOffset;
        s.mapped.characteristics = stated.characteristics;
        s.mapped.size = std::max(stated.virtualSize, stated.rawSize);
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
    for (size_t at = 0; at < relocs.size();) {
        const uint32_t page = relocs.U32(at, "relocation block");
        const uint32_t blockSize = relocs.U32(at + 4, "relocation block");
        if (blockSize < 8 || blockSize % 2 != 0) {
            throw Refused("relocation block of size " + std::to_string(blockSize));
        }
        relocs.Need(at, blockSize, "relocation block");
        for (size_t e = at + 8; e < at + blockSize; e += 2) {
            const uint16_t entry = relocs.U16(e, "relocation entry");
            const uint16_t type = entry >> 12;
            if (type == pe::kRelocAbsolute) {
                continue;
            }
            if (type != pe::kRelocHighLow) {
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
    for (size_t at = header.importRva;; at += pe::kImportDescriptorSize) {
        const uint32_t lookup = image.U32(at, "import descriptor");
        const uint32_t nameRva = image.U32(at + 12, "import descriptor");
        const uint32_t iat = image.U32(at + 16, "import descriptor");
        if (lookup == 0 && nameRva == 0 && iat == 0) {
            return bound;
        }
        const std::string module =
            Upper(image.CString(nameRva, pe::kMaxNameLength, "import module name"));
        const uint32_t names = lookup != 0 ? lookup : iat;
        for (size_t t = 0;; t += 4) {
            const uint32_t thunk = image.U32(names + t, "import lookup table");
            image.Need(iat + t, 4, "import address table");
            if (thunk == 0) {
                break;
            }
            if (thunk & pe::kImportByOrdinal) {
                throw Refused("import by ordinal from " + module + " cannot be bound");
            }
            const std::string name =
                image.CString(size_t(thunk) + 2, pe::kMaxNameLength, "import name");
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
        if (s.mapped.characteristics & pe::kScnRead) {
            prot |= PROT_READ;
        }
        if (s.mapped.characteristics & pe::kScnWrite) {
            prot |= PROT_WRITE | PROT_READ;
        }
        if (s.mapped.characteristics & pe::kScnExecute) {
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
        if ((s.characteristics & pe::kScnExecute) && p >= base_ + s.rva &&
            p < base_ + s.rva + s.size) {
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
