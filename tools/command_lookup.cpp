// How a word the user typed is found in the command table: a whole name, an mt name or a
// unique prefix, else a refusal that suggests the nearest command.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/command_table.h"

namespace tools {
namespace {

// Letters to change, add or remove to turn one word into the other.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Joined(const std::vector<std::string>& words)
{
    std::string list;
    for (const std::string& w : words) {
        list += (list.empty() ? "" : ", ") + w;
    }
    return list;
}

}  // namespace

const CommandSpec& ResolveCommand(const std::string& word, std::vector<std::string>& preset)
{
    preset.clear();
    for (const RefusedName& refused : RefusedNames()) {
        if (word == refused.name) {
            throw ToolError(word, refused.why);
        }
    }
    for (const CommandSpec& c : Commands()) {
        if (word == c.name) {
            return c;
        }
        for (const Alias& alias : c.aliases) {
            if (word == alias.name) {
                preset = alias.preset;
                return c;
            }
        }
    }
    // Prefixes of the command names first, so that the mt names added beside them leave
    // every abbreviation that worked before as it was.
    for (const bool ofAliases : {false, true}) {
        std::vector<std::string> names;
        const CommandSpec* found = nullptr;
        const Alias* foundAlias = nullptr;
        for (const CommandSpec& c : Commands()) {
            std::vector<std::pair<const char*, const Alias*>> candidates;
            if (!ofAliases) {
                candidates.emplace_back(c.name, nullptr);
            } else {
                for (const Alias& alias : c.aliases) {
                    candidates.emplace_back(alias.name, &alias);
                }
            }
            for (const auto& [name, alias] : candidates) {
                if (std::string(name).compare(0, word.size(), word) == 0) {
                    names.emplace_back(name);
                    found = &c;
                    foundAlias = alias;
                }
            }
        }
        if (names.size() == 1) {
            if (foundAlias != nullptr) {
                preset = foundAlias->preset;
            }
            return *found;
        }
        if (names.size() > 1) {
            throw ToolError("", "ambiguous command '" + word + "': " + Joined(names));
        }
    }
    std::string nearest;
    size_t best = word.size();
    const auto consider = [&](const char* name) {
        const size_t distance = EditDistance(word, name);
        if (distance < best) {
            best = distance;
            nearest = name;
        }
    };
    for (const CommandSpec& c : Commands()) {
        consider(c.name);
        for (const Alias& alias : c.aliases) {
            consider(alias.name);
        }
    }
    // Only a near miss is worth suggesting: at most two letters, and less than half the word.
    if (!nearest.empty() && best <= 2 && best * 2 < word.size()) {
        throw ToolError("", "unknown command '" + word + "'; did you mean '" + nearest + "'?");
    }
    throw ToolError("", "unknown command '" + word + "'; run 'velmtape --help' for the commands");
}

}  // namespace tools
