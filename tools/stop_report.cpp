// Where the tape stands after a command: after a move, after a failed one as the drive and
// the count of files and blocks say, and after the cartridge failed under the command as its
// file records it.
#include <string>

#include "tools/commands.h"
#include "tools/report.h"

namespace tools {

using nlohmann::json;

// Shows where the tape stands after a command that moved it.
// A drive that cannot say where it stands (READ POSITION refused or answered "unknown") does
// not turn the move that succeeded into a failure: a user told it failed would move again.
void ShowPosition(Session& session, CommandResult& out)
{
    json position;
    CommandResult asked;
    if (AskPosition(session, false, position, asked)) {
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

void AddStop(const std::string& where, const store::FilePosition& counted, CommandResult& out)
{
    out.result["fileNumber"] = counted.file;
    out.result["blockNumber"] = counted.block;
    const auto number = [](int64_t n) {
        return n < 0 ? std::string("unknown") : std::to_string(n);
    };
    const std::string stop =
        where + " (file " + number(counted.file) + ", block " + number(counted.block) + ")";
    out.lines.push_back(Line("stopped at", stop));
    if (out.failure) {
        out.failure->where = stop;
    }
}

}  // namespace

void ShowStop(Session& session, CommandResult& out)
{
    json position;
    CommandResult asked;
    std::string where = "a position the drive does not report";
    if (AskPosition(session, false, position, asked)) {
        where = PositionText(position);
        out.result["stoppedAt"] = position;
    } else {
        out.result["stoppedAt"] = nullptr;
    }
    AddStop(where, session.counted(), out);
}

void ShowRecordedStop(const store::DriveState& recorded, CommandResult& out)
{
    if (recorded.ejected) {
        out.result["stoppedAt"] = nullptr;
        AddStop("out of the drive (unloaded)", recorded.counted, out);
        return;
    }
    const json position = {{"partition", recorded.partition + 1}, {"block", recorded.position}};
    out.result["stoppedAt"] = position;
    AddStop(PositionText(position), recorded.counted, out);
}

void CartridgeFailed(Session& session, const store::StoreError& error, CommandResult& out)
{
    const store::DriveState& recorded = session.Abandon();
    const bool kept = recorded != session.Opened();
    out.lines.clear();  // they told what the drive did, which the file did not keep
    out.failure = Failure{std::string("cannot use cartridge: ") + error.what(), std::nullopt,
                          kept ? "the file keeps what the command did before, up to where the "
                                 "tape stands now"
                               : "the cartridge was left as it was before the command"};
    if (error.reason() == store::StoreError::Reason::Damaged) {
        out.failedFile = session.path();
    }
    ShowRecordedStop(recorded, out);
}

}  // namespace tools
