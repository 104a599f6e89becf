// Reads a PE image as untrusted bytes and checks it against what the platform's loader and
// the tape class driver expect of VELMDAT.SYS. Every read goes through a bounds-checked view;
// a structure that does not fit is a finding, never a read past the data.
#include "image/pecheck.h"

#include "image/checked_image.h"
#include "image/pe.h"
#include "image/version_resource.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>

namespace pecheck {
namespace {

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

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr uint32_t kFileFlagPrivateBuild = 0x08;
constexpr uint32_t kFileTypeDriver = 3;
constexpr uint32_t kFileSubtypeSystemDriver = 7;

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

void CheckVersion(const Image& image, Findings& out)
{
    const DataDirectory dir = image.Dir(pe::kDirResource);
    if (dir.rva == 0 || dir.size == 0) {
        out.push_back({Check::Version, "no resources, so no version resource"});
        return;
    }
    const VersionNode root = ReadVersionResource(image);
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

    const VersionStrings found = CollectVersionStrings(root);
    for (const std::u16string& table : found.otherTables) {
        out.push_back({Check::Version, "string table " + Narrow(table)});
    }
    const auto& strings = found.strings;
    if (!found.englishUnicode) {
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
    static constexpr const char* kNames[] = {
        "malformed",           "machine",  "characteristics", "subsystem",
        "dll-characteristics", "checksum", "relocations",     "sections",
        "entry-point",         "imports",  "version",         "identification"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == size_t(Check::Identification) + 1,
                  "one name per check");
    const auto index = static_cast<size_t>(check);
    return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "unknown";
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
