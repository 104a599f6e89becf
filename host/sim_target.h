// The simulated drive behind the host's target interface (the one host file that knows the
// simulator): the class-driver stand-in and the tool reach a sim::Drive exactly as they would
// reach a real transport.
#pragma once

#include "host/target.h"
#include "sim/drive.h"

namespace host {

class SimTarget : public Target {
public:
    explicit SimTarget(sim::Drive& drive) : drive_(drive) {}

    ScsiAnswer Execute(const ScsiCommand& command) override
    {
        const sim::Result result =
            drive_.Execute(command.cdb, command.cdbLength, ToSim(command.direction), command.data,
                           command.dataLength);
        ScsiAnswer answer;
        answer.status = result.status;
        answer.sense = result.sense;
        answer.transferred = result.transferred;
        return answer;
    }

    // The simulated drive puts into a READ's buffer the bytes it delivers (and zeros where a
    // block failed its check), and never writes into a WRITE's.
    bool TouchesOnlyWhatItMoves() const override { return true; }
    sim::Drive& drive() { return drive_; }

private:
    static sim::Direction ToSim(Direction direction)
    {
        switch (direction) {
        case Direction::In:
            return sim::Direction::In;
        case Direction::Out:
            return sim::Direction::Out;
        default:
            return sim::Direction::None;
        }
    }

    sim::Drive& drive_;
};

}  // namespace host
