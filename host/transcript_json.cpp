// A transcript for tools: every event as a JSON object, statuses with name and value, bytes in
// the same hex form as the text.
#include "host/names.h"
#include "host/transcript.h"

namespace host {
namespace {

nlohmann::json StatusJson(TAPE_STATUS status)
{
    return {{"name", TapeStatusName(status)}, {"value", static_cast<int>(status)}};
}

}  // namespace

nlohmann::json Transcript::Json() const
{
    nlohmann::json events = nlohmann::json::array();
    for (const TranscriptEvent& event : events_) {
        nlohmann::json item;
        switch (event.kind) {
        case TranscriptEvent::Kind::Call:
            item = {{"kind", "call"},
                    {"callNumber", event.call.callNumber},
                    {"lastStatus", StatusJson(event.call.lastStatus)},
                    {"returned", StatusJson(event.call.returned)},
                    {"retryFlags", Hex32(event.call.retryFlags)}};
            break;
        case TranscriptEvent::Kind::Allocation:
            item = {{"kind", "allocation"},
                    {"size", event.allocation.size},
                    {"granted", event.allocation.granted}};
            break;
        case TranscriptEvent::Kind::Command:
            item = {{"kind", "command"},
                    {"cdb", HexBytes(event.command.cdb)},
                    {"name", CommandName(event.command.cdb)},
                    {"timeoutSeconds", event.command.timeoutSeconds},
                    {"srbFlags", Hex32(event.command.srbFlags)},
                    {"dataTransferLength", event.command.dataTransferLength},
                    {"direction", DirectionName(event.command.direction)},
                    {"dataOut", HexBytes(event.command.dataOut)},
                    {"readinessCheck", event.command.readinessCheck}};
            break;
        case TranscriptEvent::Kind::Answer:
            item = {{"kind", "answer"},
                    {"transportFailed", event.answer.transportFailed},
                    {"scsiStatus", Hex8(event.answer.scsiStatus)},
                    {"scsiStatusName", ScsiStatusName(event.answer.scsiStatus)},
                    {"sense", HexBytes(event.answer.sense)},
                    {"senseText", event.answer.sense.empty() ? std::string()
                                                             : DescribeSense(event.answer.sense)},
                    {"transferred", event.answer.transferred},
                    {"dataIn", HexBytes(event.answer.dataIn)},
                    {"malformed", event.answer.malformed},
                    {"note", event.answer.note},
                    {"translated", StatusJson(event.answer.translated)},
                    {"refined", StatusJson(event.answer.refined)}};
            break;
        case TranscriptEvent::Kind::Note:
            item = {{"kind", "note"}, {"note", event.note}};
            break;
        }
        events.push_back(std::move(item));
    }
    return {{"request", request_}, {"events", std::move(events)}, {"final", StatusJson(final_)}};
}

}  // namespace host
