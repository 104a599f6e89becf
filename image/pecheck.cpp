// Reads a PE image as untrusted bytes and checks it against what the platform's loader and
// the tape class driver expect of VELMDAT.SYS. Every read goes through a bounds-checked view;
// a structure that does not fit is a finding, never a read past the data.
#include "image/pecheck.h"

#include "image/pe.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>

namespace pecheck {
namespace {

// Thrown by a read that would leave the bytes it was given; caught per check.
struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A bounds-checked window on the file (or on part of it).
constexpr char kData[] = "data";
using View = pe::View<pe::Throw<Malformed, kData>>;

constexpr size_t kChecksumFieldOffset = 64;  // within the optional header

constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFile32BitMachine = 0x0100;
constexpr uint16_t kFileDll = 0x2000;

constexpr uint16_t kSubsystemNative = 1;

// A driver with base relocations may move and may forbid execution of its data; every other
// DLL characteristic is a user-mode notion, asks for a signature or a load configuration
// this image does not have, or claims a driver model (WDM) the miniclass does not follow.
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kDllNxCompat = 0x0100;
constexpr uint16_t kDllAllowed = kDllDynamicBase | kDllNxCompat;

constexpr uint32_t kResourceSubdirectory = 0x80000000;
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kVersionResourceId = 1;
constexpr uint32_t kLanguageEnglishUs = 0x0409;

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr uint32_t kFileFlagPrivateBuild = 0x08;
constexpr uint32_t kFileTypeDriver = 3;
constexpr uint32_t kFileSubtypeSystemDriver = 7;
constexpr int kMaxVersionDepth = 4;

constexpr std::string_view kImportModule = "TAPE.SYS";
constexpr std::array<std::string_view, 4> kImports = {"TapeClassInitialize", "TapeClassZeroMemory",
                                                      "TapeClassCompareMemory",
                                                      "TapeClassAllocateSrbBuffer"};
constexpr std::string_view kIdentificationPrefix = "19970812-0001";

const std::map<std::u16string, std::u16string>& ExpectedStrings()
{
    static const std::map<std::u16string, std::u16string> strings = {
        {u"CompanyName", u"VELM"},
        {u"FileDescription", u"VELM QT-7310 SCSI DAT Tape Driver"},
        {u"FileVersion", u"1.0"},
        {u"InternalName", u"VELMDAT.SYS"},
        {u"OriginalFilename", u"VELMDAT.SYS"},
        {u"PrivateBuild", u"19970812-0001"},
        {u"ProductName", u"VELM QT-7310"},
        {u"ProductVersion", u"1.0"},
    };
    return strings;
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string Hex(uint32_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned nibble = (value >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            text.push_back(digits[nibble]);
            started = true;
        }
    }
    return text;
}

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
        for (const Section& s : sections) {
            const uint32_t backed =
                s.virtualSize == 0 ? s.rawSize : std::min(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < backed) {
                const uint32_t delta = rva - s.virtualAddress;
                const View section = file_.Sub(s.rawOffset, backed, what);
                return section.Sub(delta, length, what);
            }
        }
        throw Malformed(std::string(what) + " at " + Hex(rva) + " is not in the file");
    }
    // Everything the file backs from rva on, up to the end of its section.
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

using Findings = std::vector<Finding>;

void CheckHeaderFields(const Image& image, const std::vector<uint8_t>& file, Findings& out)
{
    if (image.machine != pe::kMachineI386) {
        out.push_back({Check::Machine, "machine " + Hex(image.machine) + ", not i386"});
    }
    const uint16_t c = image.characteristics;
    if (!(c & kFileExecutableImage) || !(c & kFile32BitMachine) || (c & kFileDll) ||
        (c & kFileRelocsStripped)) {
        out.push_back({Check::Characteristics,
                       "characteristics " + Hex(c) +
                           ": want an executable 32-bit image, not a DLL, relocations kept"});
    }
    if (image.subsystem != kSubsystemNative) {
        out.push_back({Check::Subsystem,
                       "subsystem " + std::to_string(image.subsystem) + ", not native (1)"});
    }
    if (image.dllCharacteristics & ~kDllAllowed) {
        out.push_back({Check::DllCharacteristics, "DLL characteristics " +
                                                      Hex(image.dllCharacteristics) +
                                                      " beyond dynamic base and NX compatible"});
    }
    const uint32_t sum = ImageChecksum(file, image.checksumOffset);
    if (sum != image.checksum) {
        out.push_back({Check::Checksum,
                       "checksum " + Hex(image.checksum) + ", the file sums to " + Hex(sum)});
    }
}

void CheckSections(const Image& image, Findings& out)
{
    // Image section names are cut to eight bytes: ".eh_frame" arrives as ".eh_fram".
    static const std::set<std::string> kRuntimeSections = {
        ".ctors", ".dtors", ".init_array", ".fini_array", ".eh_frame", ".pdata",
        ".xdata", ".tls",   ".init_ar",    ".fini_ar",    ".eh_fram"};
    for (const Section& s : image.sections) {
        const std::string base = s.name.substr(0, s.name.find_first_of('$'));
        if (kRuntimeSections.count(base) != 0) {
            out.push_back({Check::Sections, "section " + s.name +
                                                ": static constructors, unwind data or "
                                                "thread-local storage nobody runs"});
        }
        if ((s.characteristics & pe::kScnWrite) && (s.characteristics & pe::kScnExecute)) {
            out.push_back({Check::Sections, "section " + s.name + " is writable and executable"});
        }
    }
    const std::array<std::pair<size_t, const char*>, 5> unwanted = {{
        {pe::kDirException, "exception"},
        {pe::kDirTls, "thread-local storage"},
        {pe::kDirLoadConfig, "load configuration"},
        {pe::kDirClr, "CLR runtime"},
        {pe::kDirDelayImport, "delay import"},
    }};
    for (const auto& [index, name] : unwanted) {
        if (image.Dir(index).size != 0 || image.Dir(index).rva != 0) {
            out.push_back({Check::Sections, std::string(name) + " directory present"});
        }
    }
}

void CheckEntryPoint(const Image& image, Findings& out)
{
    for (const Section& s : image.sections) {
        if (image.entryPoint >= s.virtualAddress &&
            image.entryPoint - s.virtualAddress < std::max(s.virtualSize, s.rawSize)) {
            if (!(s.characteristics & pe::kScnExecute) || !(s.characteristics & pe::kScnCode)) {
                out.push_back({Check::EntryPoint, "entry point in non-code section " + s.name});
            }
            return;
        }
    }
    out.push_back(
        {Check::EntryPoint, "entry point " + Hex(image.entryPoint) + " is in no section"});
}

void CheckRelocations(const Image& image, Findings& out)
{
    const DataDirectory dir = image.Dir(pe::kDirBaseReloc);
    if (dir.rva == 0 || dir.size == 0) {
        out.push_back({Check::Relocations, "no base relocation directory: the image cannot move"});
        return;
    }
    const View relocs = image.At(dir.rva, dir.size, "relocation directory");
    size_t at = 0;
    unsigned highLow = 0;
    while (at < relocs.size()) {
        const uint32_t page = relocs.U32(at, "relocation block");
        const uint32_t blockSize = relocs.U32(at + 4, "relocation block");
        if (blockSize < 8 || blockSize % 2 != 0 || !relocs.Fits(at, blockSize)) {
            throw Malformed("relocation block of size " + std::to_string(blockSize));
        }
        for (size_t e = at + 8; e < at + blockSize; e += 2) {
            const uint16_t entry = relocs.U16(e, "relocation entry");
            const uint16_t type = entry >> 12;
            const uint32_t target = page + (entry & 0x0FFF);
            if (type == pe::kRelocAbsolute) {
                continue;
            }
            if (type != pe::kRelocHighLow) {
                out.push_back({Check::Relocations, "relocation of type " + std::to_string(type) +
                                                       " at " + Hex(target) +
                                                       "; i386 uses HIGHLOW only"});
                return;
            }
            if (uint64_t(target) + 4 > image.sizeOfImage) {
                throw Malformed("relocation at " + Hex(target) + " outside the image");
            }
            ++highLow;
        }
        at += blockSize;
    }
    if (highLow == 0) {
        out.push_back({Check::Relocations, "relocation directory holds no relocation"});
    }
}

void CheckImports(const Image& image, Findings& out)
{
    const std::array<std::pair<size_t, const char*>, 2> unwanted = {{
        {pe::kDirBoundImport, "bound import directory present"},
        {pe::kDirDelayImport, "delay import directory present"},
    }};
    for (const auto& [index, what] : unwanted) {
        if (image.Dir(index).size != 0) {
            out.push_back({Check::Imports, what});
        }
    }
    const DataDirectory dir = image.Dir(pe::kDirImport);
    std::map<std::string, unsigned> seen;
    if (dir.rva != 0) {
        const View table = image.From(dir.rva, "import directory");
        for (size_t at = 0;; at += pe::kImportDescriptorSize) {
            const uint32_t lookup = table.U32(at, "import descriptor");
            const uint32_t nameRva = table.U32(at + 12, "import descriptor");
            const uint32_t iat = table.U32(at + 16, "import descriptor");
            if (lookup == 0 && nameRva == 0 && iat == 0) {
                break;
            }
            const std::string module = image.From(nameRva, "import module name")
                                           .CString(0, pe::kMaxNameLength, "module name");
            std::string upper = module;
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](char ch) { return ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch; });
            if (upper != kImportModule) {
                out.push_back({Check::Imports, "imports from " + module});
                continue;
            }
            const uint32_t thunks = lookup != 0 ? lookup : iat;
            const View names = image.From(thunks, "import lookup table");
            const View slots = image.From(iat, "import address table");
            for (size_t t = 0;; t += 4) {
                const uint32_t thunk = names.U32(t, "import lookup table");
                slots.U32(t, "import address table");
                if (thunk == 0) {
                    break;
                }
                if (thunk & pe::kImportByOrdinal) {
                    out.push_back({Check::Imports, "import by ordinal " +
                                                       std::to_string(thunk & 0xFFFF) + " from " +
                                                       module});
                    continue;
                }
                const std::string name =
                    image.From(thunk, "import name").CString(2, pe::kMaxNameLength, "import name");
                if (std::find(kImports.begin(), kImports.end(), name) == kImports.end()) {
                    std::string what = "imports " + module + "!";
                    what += name;
                    out.push_back({Check::Imports, what});
                    continue;
                }
                ++seen[name];
            }
        }
    }
    for (const std::string_view name : kImports) {
        const auto it = seen.find(std::string(name));
        if (it == seen.end()) {
            out.push_back({Check::Imports, "does not import TAPE.SYS!" + std::string(name)});
        } else if (it->second > 1) {
            out.push_back({Check::Imports, "imports TAPE.SYS!" + std::string(name) + " twice"});
        }
    }
}

// One IMAGE_RESOURCE_DIRECTORY level: the entry with the given id.
uint32_t ResourceEntry(const View& resources, uint32_t directory, uint32_t id, bool subdirectory)
{
    const uint16_t named = resources.U16(directory + 12, "resource directory");
    const uint16_t ids = resources.U16(directory + 14, "resource directory");
    for (uint32_t i = 0; i < uint32_t(named) + ids; ++i) {
        const size_t at = size_t(directory) + 16 + size_t(i) * 8;
        const uint32_t name = resources.U32(at, "resource entry");
        const uint32_t target = resources.U32(at + 4, "resource entry");
        if (name == id) {
            if (bool(target & kResourceSubdirectory) != subdirectory) {
                throw Malformed("resource entry " + std::to_string(id) + " has the wrong kind");
            }
            return target & ~kResourceSubdirectory;
        }
    }
    throw Malformed("no resource entry " + std::to_string(id));
}

// A VS_VERSIONINFO node: key, value and children, all inside its own length.
struct VersionNode {
    std::u16string key;
    uint16_t type = 0;
    View value;
    std::vector<VersionNode> children;
};

size_t Align4(size_t offset)
{
    return (offset + 3) & ~size_t(3);
}

VersionNode ParseVersionNode(const View& data, size_t offset, int depth)
{
    if (depth > kMaxVersionDepth) {
        throw Malformed("version resource nested too deep");
    }
    const uint16_t length = data.U16(offset, "version node");
    const View node = data.Sub(offset, length, "version node");
    const uint16_t valueLength = node.U16(2, "version node");
    VersionNode result;
    result.type = node.U16(4, "version node");
    size_t at = 6;
    for (;; at += 2) {
        const uint16_t c = node.U16(at, "version key");
        if (c == 0) {
            at += 2;
            break;
        }
        result.key.push_back(static_cast<char16_t>(c));
    }
    at = Align4(at);
    // Text values count UTF-16 units, binary values bytes.
    const size_t valueBytes = result.type == 1 ? size_t(valueLength) * 2 : valueLength;
    if (valueBytes != 0) {
        result.value = node.Sub(at, valueBytes, "version value");
    }
    at = Align4(at + valueBytes);
    while (at < node.size()) {
        VersionNode child = ParseVersionNode(node, at, depth + 1);
        const uint16_t childLength = node.U16(at, "version node");
        if (childLength == 0) {
            throw Malformed("empty version node");
        }
        result.children.push_back(std::move(child));
        at = Align4(at + childLength);
    }
    return result;
}

std::u16string TextValue(const View& value)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        const uint16_t c = value.U16(i, "version string");
        if (c == 0) {
            break;
        }
        text.push_back(static_cast<char16_t>(c));
    }
    return text;
}

void CheckVersion(const Image& image, Findings& out)
{
    const DataDirectory dir = image.Dir(pe::kDirResource);
    if (dir.rva == 0 || dir.size == 0) {
        out.push_back({Check::Version, "no resources, so no version resource"});
        return;
    }
    const View resources = image.At(dir.rva, dir.size, "resource directory");
    const uint32_t names = ResourceEntry(resources, 0, kResourceTypeVersion, true);
    const uint32_t languages = ResourceEntry(resources, names, kVersionResourceId, true);
    const uint32_t entry = ResourceEntry(resources, languages, kLanguageEnglishUs, false);
    const uint32_t dataRva = resources.U32(entry, "resource data entry");
    const uint32_t dataSize = resources.U32(entry + 4, "resource data entry");
    const View data = image.At(dataRva, dataSize, "version resource");

    const VersionNode root = ParseVersionNode(data, 0, 0);
    if (root.key != u"VS_VERSION_INFO" || root.value.size() < kFixedFileInfoSize) {
        out.push_back({Check::Version, "no VS_VERSION_INFO with fixed file information"});
        return;
    }
    const View& fixed = root.value;
    const uint32_t fileMs = fixed.U32(8, "fixed file info");
    const uint32_t fileLs = fixed.U32(12, "fixed file info");
    const uint32_t flagsMask = fixed.U32(24, "fixed file info");
    const uint32_t flags = fixed.U32(28, "fixed file info");
    const uint32_t fileType = fixed.U32(36, "fixed file info");
    const uint32_t subtype = fixed.U32(40, "fixed file info");
    if (fixed.U32(0, "fixed file info") != kFixedSignature) {
        out.push_back({Check::Version, "fixed file information without its signature"});
    }
    if (fileMs != 0x00010000 || fileLs != 0x00000001) {
        out.push_back({Check::Version, "file version " + std::to_string(fileMs >> 16) + "." +
                                           std::to_string(fileMs & 0xFFFF) + "." +
                                           std::to_string(fileLs >> 16) + "." +
                                           std::to_string(fileLs & 0xFFFF) + ", not 1.0.0.1"});
    }
    if (!(flags & flagsMask & kFileFlagPrivateBuild)) {
        out.push_back({Check::Version, "private-build flag not set"});
    }
    if (fileType != kFileTypeDriver || subtype != kFileSubtypeSystemDriver) {
        out.push_back({Check::Version, "file type " + std::to_string(fileType) + " subtype " +
                                           std::to_string(subtype) +
                                           ", not a system driver (3, 7)"});
    }

    std::map<std::u16string, std::u16string> strings;
    bool translation = false;
    for (const VersionNode& block : root.children) {
        if (block.key == u"StringFileInfo") {
            for (const VersionNode& table : block.children) {
                if (table.key != u"040904B0" && table.key != u"040904b0") {
                    out.push_back({Check::Version, "string table " + Narrow(table.key)});
                    continue;
                }
                for (const VersionNode& value : table.children) {
                    strings[value.key] = TextValue(value.value);
                }
            }
        } else if (block.key == u"VarFileInfo") {
            for (const VersionNode& var : block.children) {
                if (var.key == u"Translation" && var.value.size() == 4 &&
                    var.value.U16(0, "translation") == kLanguageEnglishUs &&
                    var.value.U16(2, "translation") == 1200) {
                    translation = true;
                }
            }
        }
    }
    if (!translation) {
        out.push_back({Check::Version, "no translation 0x0409, 1200"});
    }
    for (const auto& [key, expected] : ExpectedStrings()) {
        const auto it = strings.find(key);
        if (it == strings.end()) {
            out.push_back({Check::Version, "no " + Narrow(key)});
        } else if (it->second != expected) {
            out.push_back({Check::Version, Narrow(key) + " is \"" + Narrow(it->second) +
                                               "\", not \"" + Narrow(expected) + "\""});
        }
    }
    for (const auto& [key, value] : strings) {
        if (ExpectedStrings().count(key) == 0) {
            out.push_back({Check::Version, "unexpected string " + Narrow(key)});
        }
    }
}

void CheckIdentification(const Image& image, Findings& out)
{
    const DataDirectory resources = image.Dir(pe::kDirResource);
    for (const Section& s : image.sections) {
        const bool isResources = resources.rva != 0 && s.virtualAddress == resources.rva;
        if (!(s.characteristics & pe::kScnInitializedData) ||
            (s.characteristics & pe::kScnExecute) || isResources || s.rawSize == 0) {
            continue;
        }
        const View raw = image.file().Sub(s.rawOffset, s.rawSize, "section data");
        const uint8_t* const begin = raw.data();
        const uint8_t* const end = begin + raw.size();
        const uint8_t* found =
            std::search(begin, end, kIdentificationPrefix.begin(), kIdentificationPrefix.end());
        // Must be a whole string of its own: terminated inside the section.
        if (found != end && std::find(found, end, uint8_t{0}) != end) {
            return;
        }
    }
    out.push_back(
        {Check::Identification,
         "no identification string \"" + std::string(kIdentificationPrefix) + "...\" in the data"});
}

template <typename F>
void Guarded(Check check, F&& run, Findings& out)
{
    try {
        run();
    } catch (const Malformed& e) {
        out.push_back({check, std::string("malformed: ") + e.what()});
    }
}

}  // namespace

const char* CheckName(Check check)
{
    switch (check) {
    case Check::Malformed:
        return "malformed";
    case Check::Machine:
        return "machine";
    case Check::Characteristics:
        return "characteristics";
    case Check::Subsystem:
        return "subsystem";
    case Check::DllCharacteristics:
        return "dll-characteristics";
    case Check::Checksum:
        return "checksum";
    case Check::Relocations:
        return "relocations";
    case Check::Sections:
        return "sections";
    case Check::EntryPoint:
        return "entry-point";
    case Check::Imports:
        return "imports";
    case Check::Version:
        return "version";
    case Check::Identification:
        return "identification";
    }
    return "unknown";
}

bool ChecksumOffset(const std::vector<uint8_t>& file, size_t& offset)
{
    Image image(file);
    try {
        image.ReadHeaders();
    } catch (const Malformed&) {
        return false;
    }
    offset = image.checksumOffset;
    return true;
}

uint32_t ImageChecksum(const std::vector<uint8_t>& file, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        // The field itself counts as zero; a missing odd last byte as well.
        const auto byte = [&](size_t at) -> uint32_t {
            const bool inField = at >= checksumOffset && at - checksumOffset < 4;
            return at < file.size() && !inField ? file[at] : 0;
        };
        const uint32_t low = byte(i);
        const uint32_t high = byte(i + 1);
        sum += low | (high << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

std::vector<Finding> CheckImage(const std::vector<uint8_t>& file)
{
    Findings out;
    Image image(file);
    try {
        image.ReadHeaders();
    } catch (const Malformed& e) {
        out.push_back({Check::Malformed, e.what()});
        return out;
    }
    CheckHeaderFields(image, file, out);
    CheckSections(image, out);
    CheckEntryPoint(image, out);
    Guarded(
        Check::Relocations, [&] { CheckRelocations(image, out); }, out);
    Guarded(
        Check::Imports, [&] { CheckImports(image, out); }, out);
    Guarded(
        Check::Version, [&] { CheckVersion(image, out); }, out);
    Guarded(
        Check::Identification, [&] { CheckIdentification(image, out); }, out);
    return out;
}

}  // namespace pecheck
