// The transcript of a request as the stand-in ran it: the events in order, and the views that
// tests and tools take of them. Text and JSON forms live beside it.
#include "host/transcript.h"

namespace host {

void Transcript::Begin(const std::string& requestName)
{
    request_ = requestName;
    events_.clear();
    final_ = TAPE_STATUS_SUCCESS;
}

void Transcript::Add(TranscriptEvent event)
{
    events_.push_back(std::move(event));
}

void Transcript::End(TAPE_STATUS finalStatus)
{
    final_ = finalStatus;
}

std::vector<CommandEvent> Transcript::Commands(bool includeReadiness) const
{
    std::vector<CommandEvent> commands;
    for (const TranscriptEvent& event : events_) {
        if (event.kind == TranscriptEvent::Kind::Command &&
            (includeReadiness || !event.command.readinessCheck)) {
            commands.push_back(event.command);
        }
    }
    return commands;
}

std::vector<CallEvent> Transcript::Calls() const
{
    std::vector<CallEvent> calls;
    for (const TranscriptEvent& event : events_) {
        if (event.kind == TranscriptEvent::Kind::Call) {
            calls.push_back(event.call);
        }
    }
    return calls;
}

}  // namespace host
