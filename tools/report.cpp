// Formatting of velmtape's answers: the same facts as aligned lines for people and as JSON
// for scripts; nothing here talks to the driver.
#include "tools/report.h"

#include <algorithm>
#include <cstdio>

#include "host/transcript.h"

namespace tools {
namespace {

using nlohmann::json;

struct FlagName {
    ULONG flag;
    const char* name;
};

// Feature flags by their platform names, without the common TAPE_DRIVE_ prefix.
constexpr FlagName kLowFeatures[] = {
    {TAPE_DRIVE_INITIATOR, "INITIATOR"},
    {TAPE_DRIVE_ERASE_SHORT, "ERASE_SHORT"},
    {TAPE_DRIVE_ERASE_LONG, "ERASE_LONG"},
    {TAPE_DRIVE_ERASE_IMMEDIATE, "ERASE_IMMEDIATE"},
    {TAPE_DRIVE_TAPE_CAPACITY, "TAPE_CAPACITY"},
    {TAPE_DRIVE_TAPE_REMAINING, "TAPE_REMAINING"},
    {TAPE_DRIVE_FIXED_BLOCK, "FIXED_BLOCK"},
    {TAPE_DRIVE_VARIABLE_BLOCK, "VARIABLE_BLOCK"},
    {TAPE_DRIVE_WRITE_PROTECT, "WRITE_PROTECT"},
    {TAPE_DRIVE_COMPRESSION, "COMPRESSION"},
    {TAPE_DRIVE_REPORT_SMKS, "REPORT_SMKS"},
    {TAPE_DRIVE_GET_ABSOLUTE_BLK, "GET_ABSOLUTE_BLK"},
    {TAPE_DRIVE_GET_LOGICAL_BLK, "GET_LOGICAL_BLK"},
    {TAPE_DRIVE_SET_EOT_WZ_SIZE, "SET_EOT_WZ_SIZE"},
    {TAPE_DRIVE_EJECT_MEDIA, "EJECT_MEDIA"},
};
constexpr FlagName kHighFeatures[] = {
    {TAPE_DRIVE_LOAD_UNLOAD, "LOAD_UNLOAD"},
    {TAPE_DRIVE_TENSION, "TENSION"},
    {TAPE_DRIVE_LOCK_UNLOCK, "LOCK_UNLOCK"},
    {TAPE_DRIVE_REWIND_IMMEDIATE, "REWIND_IMMEDIATE"},
    {TAPE_DRIVE_SET_BLOCK_SIZE, "SET_BLOCK_SIZE"},
    {TAPE_DRIVE_LOAD_UNLD_IMMED, "LOAD_UNLD_IMMED"},
    {TAPE_DRIVE_SET_ECC, "SET_ECC"},
    {TAPE_DRIVE_SET_COMPRESSION, "SET_COMPRESSION"},
    {TAPE_DRIVE_SET_PADDING, "SET_PADDING"},
    {TAPE_DRIVE_SET_REPORT_SMKS, "SET_REPORT_SMKS"},
    {TAPE_DRIVE_ABSOLUTE_BLK, "ABSOLUTE_BLK"},
    {TAPE_DRIVE_ABS_BLK_IMMED, "ABS_BLK_IMMED"},
    {TAPE_DRIVE_LOGICAL_BLK, "LOGICAL_BLK"},
    {TAPE_DRIVE_LOG_BLK_IMMED, "LOG_BLK_IMMED"},
    {TAPE_DRIVE_END_OF_DATA, "END_OF_DATA"},
    {TAPE_DRIVE_RELATIVE_BLKS, "RELATIVE_BLKS"},
    {TAPE_DRIVE_FILEMARKS, "FILEMARKS"},
    {TAPE_DRIVE_SEQUENTIAL_FMKS, "SEQUENTIAL_FMKS"},
    {TAPE_DRIVE_SETMARKS, "SETMARKS"},
    {TAPE_DRIVE_SEQUENTIAL_SMKS, "SEQUENTIAL_SMKS"},
    {TAPE_DRIVE_REVERSE_POSITION, "REVERSE_POSITION"},
    {TAPE_DRIVE_SPACE_IMMEDIATE, "SPACE_IMMEDIATE"},
    {TAPE_DRIVE_WRITE_SETMARKS, "WRITE_SETMARKS"},
    {TAPE_DRIVE_WRITE_FILEMARKS, "WRITE_FILEMARKS"},
    {TAPE_DRIVE_WRITE_SHORT_FMKS, "WRITE_SHORT_FMKS"},
    {TAPE_DRIVE_WRITE_LONG_FMKS, "WRITE_LONG_FMKS"},
    {TAPE_DRIVE_WRITE_MARK_IMMED, "WRITE_MARK_IMMED"},
    {TAPE_DRIVE_FORMAT, "FORMAT"},
};

// A request's final status as the user hears it: what the drive answered, and the next step.
struct Answer {
    TAPE_STATUS status;
    const char* words;
    const char* next;
    bool full = false;  // no room left on the tape
};

constexpr Answer kAnswers[] = {
    {TAPE_STATUS_NO_MEDIA, "there is no cartridge in the drive", "'load' puts it in"},
    {TAPE_STATUS_DEVICE_NOT_READY, "the drive is not ready", "try again in a moment"},
    {TAPE_STATUS_NO_DATA_DETECTED, "the tape reached the end of its data",
     "'rewind', then 'fsf N', reaches tape file N; 'write' appends here"},
    {TAPE_STATUS_FILEMARK_DETECTED, "the tape reached a filemark",
     "'fsf' and 'bsf' move over filemarks"},
    {TAPE_STATUS_SETMARK_DETECTED, "the tape reached a setmark",
     "'fss' and 'bss' move over setmarks"},
    {TAPE_STATUS_BEGINNING_OF_MEDIA, "the tape reached the beginning of its partition", ""},
    {TAPE_STATUS_END_OF_MEDIA, "the tape is full",
     "go on with another cartridge ('unload', or 'new' for a blank one)", true},
    {TAPE_STATUS_EOM_OVERFLOW, "the tape is full",
     "go on with another cartridge ('unload', or 'new' for a blank one)", true},
    {TAPE_STATUS_MEDIA_WRITE_PROTECTED, "the cartridge is write-protected",
     "'protect off' slides its tab back (on a real cartridge, slide it by hand)"},
    {TAPE_STATUS_INVALID_BLOCK_LENGTH, "the block on tape has another length than asked",
     "'bsr' then 'setblk 0' reads it as a variable-length block"},
    {TAPE_STATUS_DEVICE_DATA_ERROR, "the drive could not read or write the tape there", ""},
    {TAPE_STATUS_INVALID_DEVICE_REQUEST, "the drive refused the command", ""},
    {TAPE_STATUS_NOT_IMPLEMENTED, "the drive does not do this", ""},
    {TAPE_STATUS_INVALID_PARAMETER, "the drive does not take this value", ""},
    {TAPE_STATUS_MEDIA_CHANGED, "the cartridge was changed", "run the command again"},
    {TAPE_STATUS_BUS_RESET, "the drive was reset", "run the command again"},
    {TAPE_STATUS_IO_TIMEOUT, "the drive did not answer in time", ""},
    {TAPE_STATUS_DEVICE_NOT_CONNECTED, "the drive could not be reached", ""},
    {TAPE_STATUS_DEVICE_BUSY, "the drive is busy", "try again in a moment"},
    {TAPE_STATUS_IO_DEVICE_ERROR, "the drive failed", ""},
    {TAPE_STATUS_REQUIRES_CLEANING, "the drive needs cleaning", "load a cleaning cartridge"},
};

const Answer* AnswerFor(TAPE_STATUS status)
{
    for (const Answer& answer : kAnswers) {
        if (answer.status == status) {
            return &answer;
        }
    }
    return nullptr;
}

}  // namespace

std::string AnswerWords(TAPE_STATUS status)
{
    const Answer* answer = AnswerFor(status);
    return answer != nullptr ? answer->words : host::TapeStatusMeaning(status);
}

std::string NextStep(TAPE_STATUS status)
{
    const Answer* answer = AnswerFor(status);
    return answer != nullptr ? answer->next : "";
}

bool TapeFull(TAPE_STATUS status)
{
    const Answer* answer = AnswerFor(status);
    return answer != nullptr && answer->full;
}

std::string FailureText(const std::string& command, const Failure& failure)
{
    std::string text = (command.empty() ? "" : command + ": ") + failure.what;
    std::string next = failure.hint;
    if (failure.status) {
        const std::string words = AnswerWords(*failure.status);
        // A sentence of the tool's own that already says the answer does not say it twice.
        if (failure.what.find(words) == std::string::npos) {
            text += (failure.what.empty() ? "" : ": ") + words;
        }
        if (next.empty()) {
            next = NextStep(*failure.status);
        }
    }
    if (!failure.where.empty()) {
        text += "; the tape stands at " + failure.where;
    }
    if (!next.empty()) {
        text += "; " + next;
    }
    return text;
}

std::vector<std::string> FeatureNames(ULONG low, ULONG high)
{
    std::vector<std::string> names;
    for (const FlagName& f : kLowFeatures) {
        if ((low & f.flag) == f.flag) {
            names.emplace_back(f.name);
        }
    }
    // FeaturesHigh carries the high flags without the bit that marks them as high.
    for (const FlagName& f : kHighFeatures) {
        const ULONG bits = f.flag & ~static_cast<ULONG>(TAPE_DRIVE_HIGH_FEATURES);
        if ((high & bits) == bits) {
            names.emplace_back(f.name);
        }
    }
    return names;
}

std::string Line(const std::string& label, const std::string& value)
{
    std::string padded = label + ":";
    padded.resize(std::max<size_t>(padded.size() + 1, 18), ' ');
    return padded + value;
}

std::string OnOff(bool on)
{
    return on ? "on" : "off";
}

std::string BlockSizeText(ULONG size)
{
    return size == 0 ? "variable" : std::to_string(size) + " bytes (fixed)";
}

json StatusJson(TAPE_STATUS status)
{
    return {{"name", host::TapeStatusName(status)},
            {"code", static_cast<int>(status)},
            {"meaning", host::TapeStatusMeaning(status)}};
}

std::string PositionText(const json& position)
{
    if (position.contains("absolute")) {
        return "absolute block " + std::to_string(position["absolute"].get<int64_t>());
    }
    return "partition " + std::to_string(position["partition"].get<uint32_t>()) + ", block " +
           std::to_string(position["block"].get<int64_t>());
}

namespace {

// The length of the UTF-8 sequence at `at` that encodes a printable character, else 0: a
// truncated or overlong sequence, a surrogate and the C1 controls (U+0080 to U+009F, which
// some terminals obey as escapes) are not.
size_t PrintableSequence(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool c1 = code <= 0x9F;
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (code < kMinimum[length] || c1 || surrogate || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

std::string Printable(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += text[at++];
            continue;
        }
        const size_t sequence = c >= 0x80 ? PrintableSequence(text, at) : 0;
        if (sequence > 0) {
            shown.append(text, at, sequence);
            at += sequence;
            continue;
        }
        char escape[8];
        switch (c) {
        case '\\':
            shown += "\\\\";
            break;
        case '\n':
            shown += "\\n";
            break;
        case '\r':
            shown += "\\r";
            break;
        case '\t':
            shown += "\\t";
            break;
        default:
            std::snprintf(escape, sizeof(escape), "\\x%02x", c);
            shown += escape;
        }
        ++at;
    }
    return shown;
}

std::string Human(uint64_t bytes)
{
    char text[32];
    if (bytes >= 1000000000ULL) {
        std::snprintf(text, sizeof(text), "%.2f GB", static_cast<double>(bytes) / 1e9);
    } else if (bytes >= 1000000ULL) {
        std::snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else if (bytes >= 1000ULL) {
        std::snprintf(text, sizeof(text), "%.1f kB", static_cast<double>(bytes) / 1e3);
    } else {
        std::snprintf(text, sizeof(text), "%llu bytes", static_cast<unsigned long long>(bytes));
    }
    return text;
}

void AddMedia(const TAPE_GET_MEDIA_PARAMETERS& media, CommandResult& out)
{
    const auto capacity = static_cast<uint64_t>(media.Capacity.QuadPart);
    const auto remaining = static_cast<uint64_t>(media.Remaining.QuadPart);
    out.result["media"] = {{"capacityBytes", capacity},
                           {"remainingBytes", remaining},
                           {"blockSize", media.BlockSize},
                           {"partitionCount", media.PartitionCount},
                           {"writeProtected", media.WriteProtected != 0}};
    out.lines.push_back(Line("write protected", media.WriteProtected ? "yes" : "no"));
    out.lines.push_back(Line("block size", BlockSizeText(media.BlockSize)));
    // In the unit `map` uses: the drive counts its capacity in kilobytes of its log page, the
    // cartridge store in bytes, and both read the same at this precision.
    out.lines.push_back(Line("capacity", Human(capacity)));
    out.lines.push_back(Line("remaining", Human(remaining)));
}

void AddDrive(const TAPE_GET_DRIVE_PARAMETERS& drive, bool limits, CommandResult& out)
{
    const std::vector<std::string> features = FeatureNames(drive.FeaturesLow, drive.FeaturesHigh);
    out.result["drive"] = {{"compression", drive.Compression != 0},
                           {"reportSetmarks", drive.ReportSetmarks != 0},
                           {"ecc", drive.ECC != 0},
                           {"dataPadding", drive.DataPadding != 0},
                           {"defaultBlockSize", drive.DefaultBlockSize},
                           {"minimumBlockSize", drive.MinimumBlockSize},
                           {"maximumBlockSize", drive.MaximumBlockSize},
                           {"maximumPartitionCount", drive.MaximumPartitionCount},
                           {"eotWarningZoneSize", drive.EOTWarningZoneSize},
                           {"featuresLow", drive.FeaturesLow},
                           {"featuresHigh", drive.FeaturesHigh},
                           {"features", features}};
    out.lines.push_back(Line("compression", OnOff(drive.Compression != 0)));
    out.lines.push_back(Line("setmark report", OnOff(drive.ReportSetmarks != 0)));
    if (limits) {
        out.lines.push_back(Line("block limits", std::to_string(drive.MinimumBlockSize) + " to " +
                                                     std::to_string(drive.MaximumBlockSize) +
                                                     " bytes, default " +
                                                     std::to_string(drive.DefaultBlockSize)));
        out.lines.push_back(Line("max partitions", std::to_string(drive.MaximumPartitionCount)));
        out.lines.push_back(
            Line("ECC, padding", OnOff(drive.ECC != 0) + ", " + OnOff(drive.DataPadding != 0)));
    }
    // Wrapped under the value column, so the list reads at a glance on a terminal.
    constexpr size_t kWidth = 80;
    std::string line = Line("features", features.empty() ? "none" : "");
    const size_t indent = line.size();
    bool first = true;
    for (const std::string& name : features) {
        if (!first && line.size() + 1 + name.size() > kWidth) {
            out.lines.push_back(line);
            line = std::string(indent, ' ');
            first = true;
        }
        line += (first ? "" : " ") + name;
        first = false;
    }
    out.lines.push_back(line);
}

}  // namespace tools
