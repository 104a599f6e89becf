// A transcript as people read it: one line per call, allocation, command, answer and note,
// each command and answer with its bytes and their meaning in words.
#include <sstream>

#include "host/names.h"
#include "host/transcript.h"

namespace host {

std::string Transcript::Text() const
{
    std::ostringstream out;
    out << "request " << request_ << "\n";
    for (const TranscriptEvent& event : events_) {
        switch (event.kind) {
        case TranscriptEvent::Kind::Call: {
            const CallEvent& call = event.call;
            out << "call " << call.callNumber << ": last " << TapeStatusName(call.lastStatus)
                << " -> " << TapeStatusName(call.returned) << ", retry flags "
                << Hex32(call.retryFlags) << "\n";
            break;
        }
        case TranscriptEvent::Kind::Allocation:
            out << "allocate " << event.allocation.size
                << " bytes: " << (event.allocation.granted ? "granted" : "refused") << "\n";
            break;
        case TranscriptEvent::Kind::Command: {
            const CommandEvent& command = event.command;
            out << (command.readinessCheck ? "ready check: " : "command: ") << HexBytes(command.cdb)
                << "  " << CommandName(command.cdb) << "; timeout " << command.timeoutSeconds
                << " s, flags " << Hex32(command.srbFlags) << ", length "
                << command.dataTransferLength << ", data " << DirectionName(command.direction);
            if (!command.dataOut.empty()) {
                out << ", out: " << HexBytes(command.dataOut);
            }
            out << "\n";
            break;
        }
        case TranscriptEvent::Kind::Answer: {
            const AnswerEvent& answer = event.answer;
            out << "answer: ";
            if (answer.transportFailed) {
                out << "transport failed";
            } else {
                out << ScsiStatusName(answer.scsiStatus) << " (" << Hex8(answer.scsiStatus) << ")";
            }
            out << ", transferred " << answer.transferred;
            if (!answer.dataIn.empty()) {
                out << ", in: " << HexBytes(answer.dataIn);
            }
            if (!answer.sense.empty()) {
                out << ", sense " << HexBytes(answer.sense) << " (" << DescribeSense(answer.sense)
                    << ")";
            }
            if (answer.malformed) {
                out << ", MALFORMED";
            }
            if (!answer.note.empty()) {
                out << ", note: " << answer.note;
            }
            out << " => " << TapeStatusName(answer.translated);
            if (answer.refined != answer.translated) {
                out << ", refined to " << TapeStatusName(answer.refined);
            }
            out << "\n";
            break;
        }
        case TranscriptEvent::Kind::Note:
            out << "note: " << event.note << "\n";
            break;
        }
    }
    out << "end: " << TapeStatusName(final_) << " (" << TapeStatusMeaning(final_) << ")\n";
    return out.str();
}

}  // namespace host
