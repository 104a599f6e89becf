// What the class-driver stand-in tells a transcript while it works: one recorder per request
// or command, silent when nobody asked for a transcript.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/transcript.h"

namespace host {

// Collects events only when somebody asked for a transcript.
class Recorder {
public:
    // Data bytes beyond dataLimit per command are left out of the transcript, so that a long
    // transfer does not keep a second copy of everything it moved.
    explicit Recorder(Transcript* transcript, size_t dataLimit = SIZE_MAX)
        : transcript_(transcript), dataLimit_(dataLimit)
    {
    }

    // How many of `length` data bytes a transcript keeps: none when nobody asked for one, so
    // that a transfer without a transcript copies its data only where it must go.
    size_t DataKept(size_t length) const
    {
        return transcript_ == nullptr ? 0 : std::min(length, dataLimit_);
    }

    void Begin(const std::string& name)
    {
        if (transcript_ != nullptr) {
            transcript_->Begin(name);
        }
    }
    void Note(const std::string& text)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Note;
            event.note = text;
            transcript_->Add(std::move(event));
        }
    }
    void Call(const CallEvent& call)
    {
        Record(TranscriptEvent::Kind::Call, [&](TranscriptEvent& event) { event.call = call; });
    }
    void Allocation(ULONG size, bool granted)
    {
        Record(TranscriptEvent::Kind::Allocation, [&](TranscriptEvent& event) {
            event.allocation.size = size;
            event.allocation.granted = granted;
        });
    }
    void Command(const CommandEvent& command)
    {
        Record(TranscriptEvent::Kind::Command, [&](TranscriptEvent& event) {
            event.command = command;
            Clip(event.command.dataOut);
        });
    }
    void Answer(const AnswerEvent& answer)
    {
        Record(TranscriptEvent::Kind::Answer, [&](TranscriptEvent& event) {
            event.answer = answer;
            Clip(event.answer.dataIn);
        });
    }
    TAPE_STATUS End(TAPE_STATUS status)
    {
        if (transcript_ != nullptr) {
            transcript_->End(status);
        }
        return status;
    }

private:
    // Builds the event only when it will be kept.
    template <typename Fill>
    void Record(TranscriptEvent::Kind kind, Fill&& fill)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = kind;
            fill(event);
            transcript_->Add(std::move(event));
        }
    }
    void Clip(std::vector<uint8_t>& bytes) const
    {
        if (bytes.size() > dataLimit_) {
            bytes.resize(dataLimit_);
        }
    }

    Transcript* transcript_;
    size_t dataLimit_;
};

}  // namespace host
