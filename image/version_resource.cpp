// Parses the version resource of a checked image: the three levels of the resource directory
// down to the data entry, then the VS_VERSIONINFO tree, every node read inside its own length.
#include "image/version_resource.h"

namespace pecheck {
namespace {

constexpr uint32_t kResourceSubdirectory = 0x80000000;
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kVersionResourceId = 1;

constexpr int kMaxVersionDepth = 4;
constexpr uint16_t kVersionTypeText = 1;
constexpr uint16_t kCodePageUnicode = 1200;

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
    const size_t valueBytes =
        result.type == kVersionTypeText ? size_t(valueLength) * 2 : valueLength;
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

// A text value up to its terminating NUL.
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

}  // namespace

VersionNode ReadVersionResource(const Image& image)
{
    const DataDirectory dir = image.Dir(pe::kDirResource);
    const View resources = image.At(dir.rva, dir.size, "resource directory");
    const uint32_t names = ResourceEntry(resources, 0, kResourceTypeVersion, true);
    const uint32_t languages = ResourceEntry(resources, names, kVersionResourceId, true);
    const uint32_t entry = ResourceEntry(resources, languages, kLanguageEnglishUs, false);
    const uint32_t dataRva = resources.U32(entry, "resource data entry");
    const uint32_t dataSize = resources.U32(entry + 4, "resource data entry");
    const View data = image.At(dataRva, dataSize, "version resource");
    return ParseVersionNode(data, 0, 0);
}

VersionStrings CollectVersionStrings(const VersionNode& root)
{
    VersionStrings found;
    for (const VersionNode& block : root.children) {
        if (block.key == u"StringFileInfo") {
            for (const VersionNode& table : block.children) {
                if (table.key != u"040904B0" && table.key != u"040904b0") {
                    found.otherTables.push_back(table.key);
                    continue;
                }
                for (const VersionNode& value : table.children) {
                    found.strings[value.key] = TextValue(value.value);
                }
            }
        } else if (block.key == u"VarFileInfo") {
            for (const VersionNode& var : block.children) {
                if (var.key == u"Translation" && var.value.size() == 4 &&
                    var.value.U16(0, "translation") == kLanguageEnglishUs &&
                    var.value.U16(2, "translation") == kCodePageUnicode) {
                    found.englishUnicode = true;
                }
            }
        }
    }
    return found;
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace pecheck
