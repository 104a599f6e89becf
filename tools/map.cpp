// The cartridge map: the store's runs of objects folded into what a tape user thinks in:
// data of a tape file (consecutive blocks, whatever their runs), and marks.
#include "tools/map.h"

#include <algorithm>
#include <cstdio>

#include "store/cartridge_db.h"
#include "tools/cartridge_store.h"
#include "tools/report.h"

namespace tools {
namespace {

using nlohmann::json;

// One line of the map: a stretch of data blocks, or of marks of one kind.
struct Entry {
    uint64_t address = 0;
    sim::ObjectKind kind = sim::ObjectKind::Block;
    uint64_t count = 0;
    uint64_t file = 0;  // the tape file it lies in (marks: the file a filemark ends)
    uint32_t shortest = 0;
    uint32_t longest = 0;
    uint64_t bytes = 0;
};

std::vector<Entry> Fold(const std::vector<store::ExtentInfo>& extents)
{
    std::vector<Entry> entries;
    uint64_t file = 0;
    for (const store::ExtentInfo& e : extents) {
        Entry* last = entries.empty() ? nullptr : &entries.back();
        const bool joins =
            last != nullptr && last->kind == e.kind && last->address + last->count == e.address;
        if (joins) {
            last->count += e.count;
        } else {
            entries.push_back(Entry{e.address, e.kind, e.count, file, e.length, e.length, 0});
            last = &entries.back();
        }
        if (e.kind == sim::ObjectKind::Block) {
            last->shortest = std::min(last->shortest, e.length);
            last->longest = std::max(last->longest, e.length);
            last->bytes += e.count * e.length;
        } else if (e.kind == sim::ObjectKind::Filemark) {
            file += e.count;
        }
    }
    return entries;
}

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Percent(uint64_t part, uint64_t whole)
{
    char text[16];
    std::snprintf(
        text, sizeof(text), "%.1f%%",
        whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

// The files a run of filemarks ends that hold no data: all but the first, and the first too
// when no data of its file lies right before the run.
std::vector<uint64_t> EmptyFiles(const Entry& e, const Entry* before)
{
    std::vector<uint64_t> empty;
    if (e.kind != sim::ObjectKind::Filemark) {
        return empty;
    }
    const bool firstHasData =
        before != nullptr && before->kind == sim::ObjectKind::Block && before->file == e.file;
    for (uint64_t f = e.file + (firstHasData ? 1 : 0); f < e.file + e.count; ++f) {
        empty.push_back(f);
    }
    return empty;
}

std::string Files(uint64_t first, uint64_t count)
{
    return count == 1
               ? "file " + std::to_string(first)
               : "files " + std::to_string(first) + " to " + std::to_string(first + count - 1);
}

std::string EntryText(const Entry& e, const std::vector<uint64_t>& empty)
{
    switch (e.kind) {
    case sim::ObjectKind::Block: {
        std::string sizes = e.shortest == e.longest ? std::to_string(e.shortest) + " bytes"
                                                    : std::to_string(e.shortest) + " to " +
                                                          std::to_string(e.longest) + " bytes";
        return "file " + std::to_string(e.file) + ": " + Plural(e.count, "block", "blocks") +
               " of " + sizes + ", " + Human(e.bytes);
    }
    case sim::ObjectKind::Filemark: {
        std::string text =
            Plural(e.count, "filemark", "filemarks") + " ending " + Files(e.file, e.count);
        if (!empty.empty()) {
            text += " (" + Files(empty.front(), empty.size()) + " empty)";
        }
        return text;
    }
    default:
        return Plural(e.count, "setmark", "setmarks");
    }
}

json EntryJson(const Entry& e, const std::vector<uint64_t>& empty)
{
    static const char* const kKinds[] = {"data", "filemarks", "setmarks"};
    json j = {{"address", e.address},
              {"kind", kKinds[static_cast<size_t>(e.kind)]},
              {"count", e.count},
              {"file", e.file}};
    if (e.kind == sim::ObjectKind::Block) {
        j["shortestBlock"] = e.shortest;
        j["longestBlock"] = e.longest;
        j["bytes"] = e.bytes;
    }
    if (e.kind == sim::ObjectKind::Filemark) {
        j["emptyFiles"] = empty;
    }
    return j;
}

}  // namespace

CommandResult MapCartridge(const std::string& path, std::chrono::milliseconds busyWait)
{
    const std::unique_ptr<store::CartridgeDb> cartridge = OpenCartridge(path, busyWait);
    const std::unique_ptr<sim::Medium> medium = cartridge->Medium();
    const store::DriveState& state = cartridge->State();
    CommandResult out;
    char density[8];
    std::snprintf(density, sizeof(density), "0x%02X", medium->DensityCode());
    out.lines.push_back("map of " + path + " (from the cartridge store, not from the drive)");
    out.lines.push_back(
        Line("tape", Human(medium->CapacityBytes()) + ", density " + density + ", " +
                         (medium->WriteProtected() ? "write protected" : "writable") + ", " +
                         Plural(medium->PartitionCount(), "partition", "partitions")));
    out.result = {{"source", "cartridge store"},
                  {"capacityBytes", medium->CapacityBytes()},
                  {"densityCode", medium->DensityCode()},
                  {"writeProtected", medium->WriteProtected()},
                  {"partitions", json::array()}};
    const auto number = [](int64_t n) {
        return n < 0 ? std::string("unknown") : std::to_string(n);
    };
    // Where the tape stands, marked in its partition's list at its block.
    const std::string here = "  block " + std::to_string(state.position) +
                             ": >> the tape stands here (file " + number(state.counted.file) +
                             ", block " + number(state.counted.block) + ")";
    uint64_t usedAll = 0;
    for (uint32_t p = 0; p < medium->PartitionCount(); ++p) {
        const uint64_t capacity = medium->PartitionCapacity(p);
        const uint64_t used = medium->UsedBytes(p);
        const uint64_t end = medium->EndOfData(p);
        usedAll += used;
        bool marked = state.ejected || p != state.partition;
        out.lines.push_back("partition " + std::to_string(p + 1) + ": " + Human(capacity));
        json entries = json::array();
        const std::vector<Entry> folded = Fold(cartridge->Extents(p));
        for (size_t i = 0; i < folded.size(); ++i) {
            const Entry& e = folded[i];
            if (!marked && state.position <= e.address) {
                out.lines.push_back(here);
                marked = true;
            }
            const std::vector<uint64_t> empty = EmptyFiles(e, i == 0 ? nullptr : &folded[i - 1]);
            out.lines.push_back("  block " + std::to_string(e.address) + ": " +
                                EntryText(e, empty));
            entries.push_back(EntryJson(e, empty));
            if (!marked && state.position < e.address + e.count) {
                out.lines.push_back(here + ", inside the run above");
                marked = true;
            }
        }
        if (!marked) {
            out.lines.push_back(here);
        }
        out.lines.push_back("  block " + std::to_string(end) + ": end of data");
        out.lines.push_back("  used " + Human(used) + ", " + Percent(used, capacity) +
                            " of the partition");
        out.result["partitions"].push_back({{"partition", p + 1},
                                            {"capacityBytes", capacity},
                                            {"usedBytes", used},
                                            {"endOfData", end},
                                            {"entries", entries}});
    }
    out.result["usedBytes"] = usedAll;
    out.lines.push_back(
        Line("used",
             Human(usedAll) + ", " + Percent(usedAll, medium->CapacityBytes()) + " of the tape"));
    if (state.ejected) {
        out.result["position"] = nullptr;
        out.lines.push_back(Line("tape stands", "out of the drive (unloaded)"));
        return out;
    }
    out.result["position"] = {{"partition", state.partition + 1},
                              {"block", state.position},
                              {"fileNumber", state.counted.file},
                              {"blockNumber", state.counted.block}};
    out.lines.push_back(Line("tape stands", "partition " + std::to_string(state.partition + 1) +
                                                ", block " + std::to_string(state.position) +
                                                " (file " + number(state.counted.file) +
                                                ", block " + number(state.counted.block) + ")"));
    return out;
}

}  // namespace tools
