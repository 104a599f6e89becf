// What each velmtape command asks of the driver, in the order a tape user expects, and what
// it adds to the outcome; report.cpp says how the answers read.
#include "tools/commands.h"

#include <unistd.h>

#include <iostream>

#include "host/transcript.h"
#include "tools/mt_status.h"
#include "tools/report.h"

namespace tools {

using host::Request;
using nlohmann::json;

namespace {

constexpr uint64_t kBytesPerMb = 1000000;  // as the drive counts partition sizes

}  // namespace

// Runs one request; a failure is recorded in the outcome and false returned.
bool Do(Session& session, Request request, void* record, CommandResult& out)
{
    const TAPE_STATUS status = session.Run(request, record);
    if (status == TAPE_STATUS_SUCCESS) {
        return true;
    }
    out.failure = Failure{{}, status, {}};
    return false;
}

bool Fail(CommandResult& out, const std::string& what)
{
    out.failure = Failure{what, std::nullopt, {}};
    return false;
}

bool AskPosition(Session& session, bool absolute, json& position, CommandResult& out)
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

// The driver remembers the current partition only for the life of its device, which here is
// one invocation: reading the media parameters brings it up to date from the drive.
bool MediaParameters(Session& session, TAPE_GET_MEDIA_PARAMETERS& media, CommandResult& out)
{
    media = TAPE_GET_MEDIA_PARAMETERS{};
    return Do(session, Request::GetMediaParameters, &media, out);
}

namespace {

// A request a drive may simply not support (tgt refuses LOG SENSE and cannot say where the
// tape stands): the answer is "not reported", noted in the outcome, and the command goes on
// with what the drive did answer. Any other failure fails the command.
bool Answered(Session& session, Request request, void* record, const char* what, CommandResult& out)
{
    const TAPE_STATUS status = session.Run(request, record);
    if (status == TAPE_STATUS_SUCCESS) {
        return true;
    }
    if (status != TAPE_STATUS_INVALID_DEVICE_REQUEST && status != TAPE_STATUS_NOT_IMPLEMENTED) {
        out.failure = Failure{{}, status, {}};
        return false;
    }
    out.result["notReported"].push_back(what);
    out.result[what] = nullptr;
    return false;
}

constexpr const char* kNotReported = "not reported by the drive";

void AddMediaOrNot(bool reported, const TAPE_GET_MEDIA_PARAMETERS& media, CommandResult& out)
{
    if (reported) {
        AddMedia(media, out);
        return;
    }
    for (const char* label : {"write protected", "block size", "capacity", "remaining"}) {
        out.lines.push_back(Line(label, kNotReported));
    }
}

}  // namespace

void Status(Session& session, CommandResult& out)
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
        const std::string next = NextStep(ready);
        out.lines.push_back(Line("medium", (ready == TAPE_STATUS_NO_MEDIA ? "none" : "not ready") +
                                               std::string(" (") + AnswerWords(ready) +
                                               (next.empty() ? "" : "; " + next) + ")"));
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
    const bool havePosition = Answered(session, Request::GetPosition, &logical, "position", out) &&
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
    if (const std::optional<TapeSpot> spot = session.Spot()) {
        facts.atSetmark = spot->atSetmark;
        facts.atEnd = spot->atEnd;
    }
    AddMtStatus(facts, out);
}

void Params(Session& session, CommandResult& out)
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
                 CommandResult& out, bool show)
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
bool CheckPartition(Session& session, uint32_t partition, CommandResult& out)
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

void Seek(Session& session, const CommandArgs& args, CommandResult& out)
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

void Tell(Session& session, bool absolute, CommandResult& out)
{
    json position;
    if (AskPosition(session, absolute, position, out)) {
        out.result["position"] = position;
        out.lines.push_back(PositionText(position));
    }
}

void WriteMarks(Session& session, ULONG type, const CommandArgs& args, CommandResult& out)
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

void Prepare(Session& session, ULONG operation, bool immediate, CommandResult& out)
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

void Erase(Session& session, bool immediate, CommandResult& out)
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

void SetBlock(Session& session, uint32_t size, CommandResult& out)
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
void SetDriveFlag(Session& session, bool compression, bool on, CommandResult& out)
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

void MakePartitions(Session& session, std::optional<uint32_t> sizeMb, CommandResult& out)
{
    TAPE_CREATE_PARTITION record{};
    record.Method = TAPE_INITIATOR_PARTITIONS;
    record.Count = sizeMb ? 2 : 1;
    record.Size = sizeMb.value_or(0);
    TAPE_GET_MEDIA_PARAMETERS media{};
    if (!Do(session, Request::CreatePartition, &record, out)) {
        // The drive says only that it refused; a first partition that leaves nothing for the
        // second is the usual reason, and the tape's size tells.
        CommandResult asked;
        if (sizeMb && out.failure && MediaParameters(session, media, asked) &&
            uint64_t{*sizeMb} * kBytesPerMb >= static_cast<uint64_t>(media.Capacity.QuadPart)) {
            out.failure->hint =
                "the first partition must leave room for the second: the tape "
                "holds " +
                std::to_string(media.Capacity.QuadPart / kBytesPerMb) + " MB";
        }
        return;
    }
    if (!MediaParameters(session, media, out)) {
        return;
    }
    out.result["partitions"] = media.PartitionCount;
    out.lines.push_back(Line("partitions", std::to_string(media.PartitionCount)) +
                        (sizeMb ? " (partition 1: " + std::to_string(*sizeMb) + " MB)" : ""));
    ShowPosition(session, out);
}

void Protect(Session& session, bool on, CommandResult& out)
{
    session.SetWriteProtected(on);
    out.result["writeProtected"] = on;
    out.lines.push_back(Line("write protected", on ? "yes: the drive takes no writes; "
                                                     "'protect off' lets it write again"
                                                   : "no: the drive writes on the cartridge"));
}

CommandResult CreateCartridge(const std::string& path, const CommandArgs& args)
{
    sim::Cartridge cartridge = sim::Cartridge::Blank(args.capacityMb * kBytesPerMb);
    cartridge.writeProtected = args.writeProtected;
    NewCartridge(path, cartridge, args.force, args.busyWait);
    CommandResult out;
    out.result = {{"file", path},
                  {"capacityBytes", cartridge.capacityBytes},
                  {"writeProtected", args.writeProtected}};
    out.lines.push_back("created " + path + ": blank " + Human(cartridge.capacityBytes) +
                        " cartridge, " + (args.writeProtected ? "write protected" : "writable"));
    return out;
}

}  // namespace tools
