// The general status bits as Linux's st driver sets them for MTIOCGET and mt-st prints them:
// BOT and EOF follow from the counted file and block (block 0 of file 0, of a later file), SM and
// EOT from the tape where it stands (a setmark beside it; past the early warning at its end).
#include "tools/mt_status.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tools {
namespace {

struct Bit {
    uint32_t mask;  // the bit's value in mt_gstat
    const char* name;
    bool (*on)(const MtFacts&);
};

constexpr Bit kBits[] = {
    {0x80000000u, "EOF",
     [](const MtFacts& f) { return f.counted.block == 0 && f.counted.file > 0; }},
    {0x40000000u, "BOT",
     [](const MtFacts& f) { return f.counted.block == 0 && f.counted.file == 0; }},
    {0x20000000u, "EOT", [](const MtFacts& f) { return f.ready && f.atEnd; }},
    {0x10000000u, "SM", [](const MtFacts& f) { return f.ready && f.atSetmark; }},
    {0x08000000u, "EOD", [](const MtFacts& f) { return f.ready && f.counted.atEndOfData; }},
    {0x04000000u, "WR_PROT", [](const MtFacts& f) { return f.writeProtected.value_or(false); }},
    {0x01000000u, "ONLINE", [](const MtFacts& f) { return f.ready; }},
    {0x00040000u, "DR_OPEN", [](const MtFacts& f) { return f.noMedium; }},
};

std::string Number(int64_t n)
{
    return n < 0 ? "-1 (unknown)" : std::to_string(n);
}

}  // namespace

MtFacts Shown(const MtFacts& facts)
{
    MtFacts shown = facts;
    if (!facts.ready) {
        shown.counted = store::FilePosition{};  // an empty drive has no place on a tape
    }
    return shown;
}

uint32_t GeneralStatusBits(const MtFacts& facts)
{
    const MtFacts shown = Shown(facts);
    uint32_t bits = 0;
    for (const Bit& bit : kBits) {
        bits |= bit.on(shown) ? bit.mask : 0;
    }
    return bits;
}

void AddMtStatus(const MtFacts& facts, CommandResult& out)
{
    const MtFacts shown = Shown(facts);
    const uint32_t bits = GeneralStatusBits(facts);
    std::string names;
    std::vector<std::string> list;
    for (const Bit& bit : kBits) {
        if (bit.on(shown)) {
            names += " ";
            names += bit.name;
            list.emplace_back(bit.name);
        }
    }
    const int64_t file = shown.counted.file;
    const int64_t block = shown.counted.block;
    out.result["fileNumber"] = file;
    out.result["blockNumber"] = block;
    out.result["generalStatus"] = bits;
    out.result["flags"] = list;

    out.lines.push_back("file number:      " + Number(file));
    out.lines.push_back("block number:     " + Number(block));
    out.lines.push_back("flags:           " + (names.empty() ? std::string(" none") : names));
    out.lines.push_back("as mt-st shows it (partitions from 0, file and block -1 unknown):");
    std::string where =
        "File number=" + std::to_string(file) + ", block number=" + std::to_string(block);
    if (shown.partition) {
        where += ", partition=" + std::to_string(*shown.partition);
    }
    out.lines.push_back("  " + where + ".");
    if (shown.blockSize) {
        out.lines.push_back("  Tape block size " + std::to_string(*shown.blockSize) + " bytes.");
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%08X", static_cast<unsigned>(bits));
    out.lines.push_back(std::string("  General status bits on (") + hex + "):");
    out.lines.push_back(" " + names);
}

}  // namespace tools
