// What each velmtape command asks of the driver, in the order a tape user expects, and how
// the answers read: words and numbers for people, the same facts as JSON for scripts.
#include "tools/commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <utility>

#include "host/transcript.h"
#include "tools/mt_status.h"
#include "tools/transfer.h"

namespace tools {
namespace {

using host::Request;
using nlohmann::json;

constexpr uint64_t kBytesPerMb = 1000000;  // as the drive counts partition sizes

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

// Runs one request; a failure is recorded in the outcome and false returned.
bool Do(Session& session, Request request, void* record, Outcome& out)
{
    const TAPE_STATUS status = session.Run(request, record);
    if (status == TAPE_STATUS_SUCCESS) {
        return true;
    }
    out.failure = Failure{std::string(host::RequestName(request)) + " failed", status, {}};
    return false;
}

bool Fail(Outcome& out, const std::string& what)
{
    out.failure = Failure{what, std::nullopt, {}};
    return false;
}

bool Position(Session& session, bool absolute, json& position, Outcome& out)
{
    TAPE_GET_POSITION record{};
    record.Type = absolute ? TAPE_ABSOLUTE_POSITION : TAPE_LOGICAL_POSITION;
    if (!Do(session, Request::GetPosition, &record, out)) {
        return false;
    }
    if (absolute) {
        position = {{"absolute", record.Offset.QuadPart}};
    } else {
        position = {{"partition", record.Partition}, {"block", record.Offset.QuadPart}};
    }
    return true;
}

std::string PositionText(const json& position)
{
    if (position.contains("absolute")) {
        return "absolute block " + std::to_string(position["absolute"].get<int64_t>());
    }
    return "partition " + std::to_string(position["partition"].get<uint32_t>()) + ", block " +
           std::to_string(position["block"].get<int64_t>());
}

}  // namespace

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

// The driver remembers the current partition only for the life of its device, which here is
// one invocation: reading the media parameters brings it up to date from the drive.
bool MediaParameters(Session& session, TAPE_GET_MEDIA_PARAMETERS& media, Outcome& out)
{
    media = TAPE_GET_MEDIA_PARAMETERS{};
    return Do(session, Request::GetMediaParameters, &media, out);
}

// Shows where the tape stands after a command that moved it.
// A drive that cannot say where it stands (READ POSITION refused or answered "unknown") does
// not turn the move that succeeded into a failure: a user told it failed would move again.
void ShowPosition(Session& session, Outcome& out)
{
    json position;
    Outcome asked;
    if (Position(session, false, position, asked)) {
        out.result["position"] = position;
        out.lines.push_back(Line("position", PositionText(position)));
    } else if (asked.failure->status == TAPE_STATUS_INVALID_DEVICE_REQUEST) {
        out.result["position"] = nullptr;
        out.lines.push_back(Line("position", "unknown (the drive does not report it)"));
    } else {
        out.failure = asked.failure;
    }
}

namespace {

void AddMedia(const TAPE_GET_MEDIA_PARAMETERS& media, Outcome& out)
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
    out.lines.push_back(
        Line("capacity", Human(capacity) + " (" + std::to_string(capacity) + " bytes)"));
    out.lines.push_back(
        Line("remaining", Human(remaining) + " (" + std::to_string(remaining) + " bytes)"));
}

void AddDrive(const TAPE_GET_DRIVE_PARAMETERS& drive, bool limits, Outcome& out)
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

// A request a drive may simply not support (tgt refuses LOG SENSE and cannot say where the
// tape stands): the answer is "not reported", noted in the outcome, and the command goes on
// with what the drive did answer. Any other failure fails the command.
bool Answered(Session& session, Request request, void* record, const char* what, Outcome& out)
{
    const TAPE_STATUS status = session.Run(request, record);
    if (status == TAPE_STATUS_SUCCESS) {
        return true;
    }
    if (status != TAPE_STATUS_INVALID_DEVICE_REQUEST && status != TAPE_STATUS_NOT_IMPLEMENTED) {
        out.failure = Failure{std::string(host::RequestName(request)) + " failed", status, {}};
        return false;
    }
    out.result["notReported"].push_back(what);
    out.result[what] = nullptr;
    return false;
}

constexpr const char* kNotReported = "not reported by the drive";

void AddMediaOrNot(bool reported, const TAPE_GET_MEDIA_PARAMETERS& media, Outcome& out)
{
    if (reported) {
        AddMedia(media, out);
        return;
    }
    for (const char* label : {"write protected", "block size", "capacity", "remaining"}) {
        out.lines.push_back(Line(label, kNotReported));
    }
}

void Status(Session& session, Outcome& out)
{
    out.lines.push_back(Line("drive", session.DriveName()));
    const TAPE_STATUS ready = session.Run(Request::GetStatus, nullptr);
    out.result["ready"] = ready == TAPE_STATUS_SUCCESS;
    out.result["readiness"] = StatusJson(ready);
    out.result["removalPrevented"] = session.RemovalPrevented();
    MtFacts facts;
    facts.ready = ready == TAPE_STATUS_SUCCESS;
    facts.noMedium = ready == TAPE_STATUS_NO_MEDIA;
    if (ready != TAPE_STATUS_SUCCESS) {
        // The answer to "what state is the drive in" is this status; reporting it is the
        // command's success, as mt status reports an empty drive.
        out.result["mediumPresent"] = ready != TAPE_STATUS_NO_MEDIA;
        out.lines.push_back(Line("medium", (ready == TAPE_STATUS_NO_MEDIA ? "none" : "not ready") +
                                               std::string(" (") + host::TapeStatusName(ready) +
                                               ": " + host::TapeStatusMeaning(ready) + ")"));
        out.lines.push_back(Line("removal", session.RemovalPrevented() ? "prevented" : "allowed"));
        AddMtStatus(facts, out);
        return;
    }
    out.result["mediumPresent"] = true;
    out.lines.push_back(Line("medium", "present, ready"));
    TAPE_GET_MEDIA_PARAMETERS media{};
    const bool haveMedia = Answered(session, Request::GetMediaParameters, &media, "media", out);
    if (out.failure) {
        return;
    }
    TAPE_GET_DRIVE_PARAMETERS drive{};
    if (!Do(session, Request::GetDriveParameters, &drive, out)) {
        return;
    }
    TAPE_GET_POSITION logical{};
    logical.Type = TAPE_LOGICAL_POSITION;
    TAPE_GET_POSITION absolute{};
    absolute.Type = TAPE_ABSOLUTE_POSITION;
    const bool havePosition =
        Answered(session, Request::GetPosition, &logical, "position", out) &&
        Answered(session, Request::GetPosition, &absolute, "position", out);
    if (out.failure) {
        return;
    }
    AddMediaOrNot(haveMedia, media, out);
    if (haveMedia) {
        out.result["partitions"] = media.PartitionCount;
        facts.writeProtected = media.WriteProtected != 0;
        facts.blockSize = media.BlockSize;
    }
    if (havePosition) {
        out.result["currentPartition"] = logical.Partition;
        out.result["position"] = {{"partition", logical.Partition},
                                  {"block", logical.Offset.QuadPart},
                                  {"absolute", absolute.Offset.QuadPart}};
        facts.partition = logical.Partition > 0 ? logical.Partition - 1 : 0;
    }
    out.lines.push_back(Line(
        "partitions",
        (haveMedia ? std::to_string(media.PartitionCount) : std::string(kNotReported)) +
            (havePosition ? ", current " + std::to_string(logical.Partition) + " (numbered from 1)"
                          : std::string())));
    out.lines.push_back(Line(
        "position", havePosition ? "partition " + std::to_string(logical.Partition) + ", block " +
                                       std::to_string(logical.Offset.QuadPart) + " (absolute " +
                                       std::to_string(absolute.Offset.QuadPart) + ")"
                                 : std::string(kNotReported)));
    AddDrive(drive, false, out);
    out.lines.push_back(Line("removal", session.RemovalPrevented() ? "prevented" : "allowed"));
    facts.counted = session.counted();
    AddMtStatus(facts, out);
}

void Params(Session& session, Outcome& out)
{
    TAPE_GET_DRIVE_PARAMETERS drive{};
    if (!Do(session, Request::GetDriveParameters, &drive, out)) {
        return;
    }
    TAPE_GET_MEDIA_PARAMETERS media{};
    const bool haveMedia = Answered(session, Request::GetMediaParameters, &media, "media", out);
    if (out.failure) {
        return;
    }
    out.lines.push_back(Line("drive", session.DriveName()));
    AddDrive(drive, true, out);
    out.lines.push_back(Line("partitions", haveMedia ? std::to_string(media.PartitionCount)
                                                     : std::string(kNotReported)));
    AddMediaOrNot(haveMedia, media, out);
}

void SetPosition(Session& session, ULONG method, int64_t offset, ULONG partition, bool immediate,
                 Outcome& out, bool show = true)
{
    TAPE_SET_POSITION record{};
    record.Method = method;
    record.Partition = partition;
    record.Offset.QuadPart = offset;
    record.Immediate = immediate ? 1 : 0;
    if (Do(session, Request::SetPosition, &record, out) && show) {
        ShowPosition(session, out);
    }
}

// A partition that the tape does not have would be quietly ignored by the driver (it only
// changes partition on a tape it knows to be partitioned), leaving the tape where it was
// while the user believes it moved; such a request is refused before anything is sent.
bool CheckPartition(Session& session, uint32_t partition, Outcome& out)
{
    TAPE_GET_MEDIA_PARAMETERS media{};
    if (!MediaParameters(session, media, out)) {
        return false;
    }
    if (partition > media.PartitionCount) {
        return Fail(out, "partition " + std::to_string(partition) +
                             " does not exist: the tape has " +
                             std::to_string(media.PartitionCount) +
                             (media.PartitionCount == 1 ? " partition" : " partitions"));
    }
    return true;
}

void Seek(Session& session, const CommandArgs& args, Outcome& out)
{
    if (args.absolute) {
        SetPosition(session, TAPE_ABSOLUTE_BLOCK, args.block, 0, args.immediate, out);
        return;
    }
    if (!CheckPartition(session, args.partition, out)) {
        return;
    }
    SetPosition(session, TAPE_LOGICAL_BLOCK, args.block, args.partition, args.immediate, out);
}

void Tell(Session& session, bool absolute, Outcome& out)
{
    json position;
    if (Position(session, absolute, position, out)) {
        out.result["position"] = position;
        out.lines.push_back(PositionText(position));
    }
}

void WriteMarks(Session& session, ULONG type, const CommandArgs& args, Outcome& out)
{
    TAPE_WRITE_MARKS record{};
    record.Type = type;
    record.Count = args.count;
    record.Immediate = args.immediate ? 1 : 0;
    if (Do(session, Request::WriteMarks, &record, out)) {
        const char* what = type == TAPE_SETMARKS ? "setmark" : "filemark";
        out.lines.push_back("wrote " + std::to_string(args.count) + " " + what +
                            (args.count == 1 ? "" : "s"));
        ShowPosition(session, out);
    }
}

void Prepare(Session& session, ULONG operation, bool immediate, Outcome& out)
{
    TAPE_PREPARE record{};
    record.Operation = operation;
    record.Immediate = immediate ? 1 : 0;
    if (!Do(session, Request::Prepare, &record, out)) {
        if (operation == TAPE_UNLOAD && session.RemovalPrevented()) {
            out.failure->hint = "removal is prevented: run 'unlock' first";
        }
        return;
    }
    switch (operation) {
    case TAPE_LOAD:
        out.lines.push_back("loaded");
        break;
    case TAPE_UNLOAD:
        // A DAT drive hands the cartridge out once it is unloaded.
        session.EjectAfterUnload();
        out.lines.push_back("unloaded and ejected; 'load' puts the cartridge back");
        break;
    case TAPE_LOCK:
        out.lines.push_back("removal prevented");
        break;
    default:
        out.lines.push_back("removal allowed");
        break;
    }
    out.result["removalPrevented"] = session.RemovalPrevented();
}

void Erase(Session& session, bool immediate, Outcome& out)
{
    TAPE_ERASE record{};
    record.Type = TAPE_ERASE_LONG;
    record.Immediate = immediate ? 1 : 0;
    const bool progress = isatty(STDERR_FILENO) != 0;
    if (progress) {
        std::cerr << "erasing to the end of the tape..." << std::flush;
    }
    const bool done = Do(session, Request::Erase, &record, out);
    if (progress) {
        std::cerr << "\r\033[K" << std::flush;
    }
    if (done) {
        out.lines.push_back("erased from the current position to the end of the partition");
        ShowPosition(session, out);
    }
}

void SetBlock(Session& session, uint32_t size, Outcome& out)
{
    TAPE_SET_MEDIA_PARAMETERS record{};
    record.BlockSize = size;
    TAPE_GET_MEDIA_PARAMETERS media{};
    if (Do(session, Request::SetMediaParameters, &record, out) &&
        MediaParameters(session, media, out)) {
        out.result["blockSize"] = media.BlockSize;
        out.lines.push_back(Line("block size", BlockSizeText(media.BlockSize)));
    }
}

// Drive parameters are set as a whole; the one the user did not name keeps its value.
void SetDriveFlag(Session& session, bool compression, bool on, Outcome& out)
{
    TAPE_GET_DRIVE_PARAMETERS now{};
    if (!Do(session, Request::GetDriveParameters, &now, out)) {
        return;
    }
    TAPE_SET_DRIVE_PARAMETERS record{};
    record.ECC = now.ECC;
    record.Compression = compression ? (on ? 1 : 0) : now.Compression;
    record.DataPadding = now.DataPadding;
    record.ReportSetmarks = compression ? now.ReportSetmarks : (on ? 1 : 0);
    record.EOTWarningZoneSize = now.EOTWarningZoneSize;
    TAPE_GET_DRIVE_PARAMETERS after{};
    if (Do(session, Request::SetDriveParameters, &record, out) &&
        Do(session, Request::GetDriveParameters, &after, out)) {
        out.result["compression"] = after.Compression != 0;
        out.result["reportSetmarks"] = after.ReportSetmarks != 0;
        out.lines.push_back(Line("compression", OnOff(after.Compression != 0)));
        out.lines.push_back(Line("setmark report", OnOff(after.ReportSetmarks != 0)));
    }
}

void MakePartitions(Session& session, std::optional<uint32_t> sizeMb, Outcome& out)
{
    TAPE_CREATE_PARTITION record{};
    record.Method = TAPE_INITIATOR_PARTITIONS;
    record.Count = sizeMb ? 2 : 1;
    record.Size = sizeMb.value_or(0);
    TAPE_GET_MEDIA_PARAMETERS media{};
    if (!Do(session, Request::CreatePartition, &record, out) ||
        !MediaParameters(session, media, out)) {
        return;
    }
    out.result["partitions"] = media.PartitionCount;
    out.lines.push_back(Line("partitions", std::to_string(media.PartitionCount)) +
                        (sizeMb ? " (partition 1: " + std::to_string(*sizeMb) + " MB)" : ""));
    ShowPosition(session, out);
}

void Append(Outcome& into, const std::string& heading, Outcome&& step)
{
    into.lines.push_back("== " + heading);
    for (const std::string& line : step.lines) {
        into.lines.push_back("   " + line);
    }
    into.result["steps"].push_back({{"step", heading}, {"result", step.result}});
    if (step.failure && !into.failure) {
        into.failure = step.failure;
    }
}

std::vector<uint8_t> DemoBlocks(const std::string& label, size_t blocks, size_t blockSize)
{
    std::vector<uint8_t> data;
    for (size_t i = 0; i < blocks; ++i) {
        std::string text = label + ", block " + std::to_string(i + 1) + "\n";
        text.resize(blockSize, '.');
        data.insert(data.end(), text.begin(), text.end());
    }
    return data;
}

}  // namespace

const std::vector<std::string>& CommandNames()
{
    // clang-format off
    static const std::vector<std::string> names = {
        "status", "load",   "unload",      "lock",      "unlock",       "rewind",
        "erase",  "weof",   "wset",        "fsf",       "bsf",          "fsfm",
        "bsfm",   "fsr",    "bsr",         "fss",       "bss",          "eod",
        "seek",   "tell",   "setblk",      "compression", "setmarks-report", "mkpartition",
        "setpartition", "params", "write", "read",      "new",          "demo"};
    // clang-format on
    return names;
}

Outcome CreateCartridge(const std::string& path, const CommandArgs& args)
{
    sim::Cartridge cartridge = sim::Cartridge::Blank(args.capacityMb * kBytesPerMb);
    cartridge.writeProtected = args.writeProtected;
    NewCartridge(path, cartridge, args.force, args.busyWait);
    Outcome out;
    out.result = {{"file", path},
                  {"capacityBytes", cartridge.capacityBytes},
                  {"writeProtected", args.writeProtected}};
    out.lines.push_back("created " + path + ": blank " + Human(cartridge.capacityBytes) +
                        " cartridge, " + (args.writeProtected ? "write protected" : "writable"));
    return out;
}

Outcome RunCommand(Session& session, const CommandArgs& args)
{
    Outcome out;
    const std::string& c = args.command;
    const auto count = static_cast<int64_t>(args.count);
    if (c == "status") {
        Status(session, out);
    } else if (c == "params") {
        Params(session, out);
    } else if (c == "load") {
        session.InsertForLoad();
        Prepare(session, TAPE_LOAD, args.immediate, out);
    } else if (c == "unload") {
        Prepare(session, TAPE_UNLOAD, args.immediate, out);
    } else if (c == "lock") {
        Prepare(session, TAPE_LOCK, false, out);
    } else if (c == "unlock") {
        Prepare(session, TAPE_UNLOCK, false, out);
    } else if (c == "rewind") {
        SetPosition(session, TAPE_REWIND, 0, 0, args.immediate, out);
    } else if (c == "erase") {
        Erase(session, args.immediate, out);
    } else if (c == "weof") {
        WriteMarks(session, TAPE_FILEMARKS, args, out);
    } else if (c == "wset") {
        WriteMarks(session, TAPE_SETMARKS, args, out);
    } else if (c == "fsf" || c == "bsf") {
        SetPosition(session, TAPE_SPACE_FILEMARKS, c == "fsf" ? count : -count, 0, false, out);
    } else if (c == "fsfm") {
        // Over N filemarks, then back over the last: the tape stands before that filemark.
        SetPosition(session, TAPE_SPACE_FILEMARKS, count, 0, false, out, false);
        if (!out.failure) {
            SetPosition(session, TAPE_SPACE_FILEMARKS, -1, 0, false, out);
        }
    } else if (c == "bsfm") {
        // Back over N filemarks, then forward over the last: the tape stands after it.
        SetPosition(session, TAPE_SPACE_FILEMARKS, -count, 0, false, out, false);
        if (!out.failure) {
            SetPosition(session, TAPE_SPACE_FILEMARKS, 1, 0, false, out);
        }
    } else if (c == "fsr" || c == "bsr") {
        SetPosition(session, TAPE_SPACE_RELATIVE_BLOCKS, c == "fsr" ? count : -count, 0, false,
                    out);
    } else if (c == "fss" || c == "bss") {
        SetPosition(session, TAPE_SPACE_SETMARKS, c == "fss" ? count : -count, 0, false, out);
    } else if (c == "eod") {
        SetPosition(session, TAPE_SPACE_END_OF_DATA, 0, 0, false, out);
    } else if (c == "seek") {
        Seek(session, args, out);
    } else if (c == "tell") {
        Tell(session, args.absolute, out);
    } else if (c == "setblk") {
        SetBlock(session, args.blockSize, out);
    } else if (c == "compression") {
        SetDriveFlag(session, true, args.on, out);
    } else if (c == "setmarks-report") {
        SetDriveFlag(session, false, args.on, out);
    } else if (c == "mkpartition") {
        MakePartitions(session, args.sizeMb, out);
    } else if (c == "setpartition") {
        if (CheckPartition(session, args.partition, out)) {
            SetPosition(session, TAPE_LOGICAL_BLOCK, 0, args.partition, args.immediate, out);
        }
    } else if (c == "write") {
        WriteFile(session, args.file, out);
    } else if (c == "read") {
        ReadFile(session, args.file, out);
    } else {
        throw ToolError("", "unknown command '" + c + "'");
    }
    return out;
}

Outcome RunDemo(Session& session)
{
    Outcome demo;
    demo.result["steps"] = json::array();
    const auto step = [&](const std::string& heading, const auto& body) {
        if (demo.failure) {
            return;
        }
        Outcome out;
        body(out);
        Append(demo, heading, std::move(out));
    };
    const auto write = [&](Outcome& out, const std::string& label, size_t blocks) {
        const std::vector<uint8_t> data = DemoBlocks(label, blocks, 512);
        const host::TransferResult result = session.Write(data.data(), data.size(), 512);
        if (result.status != TAPE_STATUS_SUCCESS) {
            out.failure = Failure{"write failed", result.status, {}};
            return;
        }
        out.lines.push_back("wrote " + std::to_string(blocks) + " blocks of 512 bytes: \"" + label +
                            "\"");
        TAPE_WRITE_MARKS marks{};
        marks.Type = TAPE_FILEMARKS;
        marks.Count = 1;
        if (Do(session, Request::WriteMarks, &marks, out)) {
            out.lines.push_back("wrote 1 filemark");
            ShowPosition(session, out);
        }
    };
    step("status of the blank cartridge", [&](Outcome& out) { Status(session, out); });
    step("write file 1 (3 blocks) and a filemark", [&](Outcome& out) { write(out, "file 1", 3); });
    step("write file 2 (2 blocks) and a filemark", [&](Outcome& out) { write(out, "file 2", 2); });
    step("rewind", [&](Outcome& out) { SetPosition(session, TAPE_REWIND, 0, 0, false, out); });
    step("fsf 1: space over the first filemark",
         [&](Outcome& out) { SetPosition(session, TAPE_SPACE_FILEMARKS, 1, 0, false, out); });
    step("read file 2 back", [&](Outcome& out) {
        std::vector<uint8_t> buffer(4096);
        const host::TransferResult result = session.Read(buffer.data(), buffer.size(), 512);
        if (result.status != TAPE_STATUS_FILEMARK_DETECTED) {
            out.failure = Failure{"read did not end at the filemark", result.status, {}};
            return;
        }
        const std::vector<uint8_t> expected = DemoBlocks("file 2", 2, 512);
        const bool same = std::equal(expected.begin(), expected.end(), buffer.begin()) &&
                          result.bytes == expected.size();
        out.result["bytes"] = result.bytes;
        out.result["matches"] = same;
        out.lines.push_back("read " + std::to_string(result.bytes) + " bytes up to the filemark: " +
                            (same ? "same as written" : "DIFFERENT from what was written"));
        if (!same) {
            Fail(out, "file 2 read back differs from what was written");
        }
        ShowPosition(session, out);
    });
    step("mkpartition 100: two partitions, the first of 100 MB",
         [&](Outcome& out) { MakePartitions(session, 100, out); });
    step("setpartition 2", [&](Outcome& out) {
        if (CheckPartition(session, 2, out)) {
            SetPosition(session, TAPE_LOGICAL_BLOCK, 0, 2, false, out);
        }
    });
    step("write file 3 (4 blocks) and a filemark in partition 2",
         [&](Outcome& out) { write(out, "file 3", 4); });
    step("setpartition 1",
         [&](Outcome& out) { SetPosition(session, TAPE_LOGICAL_BLOCK, 0, 1, false, out); });
    step("status", [&](Outcome& out) { Status(session, out); });
    step("params", [&](Outcome& out) { Params(session, out); });
    return demo;
}

}  // namespace tools
