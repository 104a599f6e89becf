// The version resource of a checked image: found through the resource directory (type 16,
// id 1, language 0x0409) and parsed as the tree of VS_VERSIONINFO nodes it is, every node
// kept inside its own length and the nesting bounded.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "image/checked_image.h"

namespace pecheck {

inline constexpr uint32_t kLanguageEnglishUs = 0x0409;

// A VS_VERSIONINFO node: key, value and children, all inside its own length.
struct VersionNode {
    std::u16string key;
    uint16_t type = 0;
    View value;
    std::vector<VersionNode> children;
};

// The root node of the version resource of an image that has a resource directory; throws
// Malformed when the directory holds no such resource or the tree does not fit.
VersionNode ReadVersionResource(const Image& image);

// What StringFileInfo and VarFileInfo hold: the strings of the US English Unicode table, the
// keys of any other table, and whether the translation 0x0409, 1200 is declared.
struct VersionStrings {
    std::map<std::u16string, std::u16string> strings;
    std::vector<std::u16string> otherTables;
    bool englishUnicode = false;
};
VersionStrings CollectVersionStrings(const VersionNode& root);

// Text of a version string for a message: anything beyond ASCII as '?'.
std::string Narrow(const std::u16string& text);

}  // namespace pecheck
