// The driver at work without a drive's delay: a fixed mix of tape requests run through the
// class-driver stand-in against a target that replays answers the simulated drive gave once,
// so what is measured is the driver's routines and the runner, not a drive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/classdriver.h"
#include "host/target.h"

namespace bench {

// Answers every command at once from a table recorded against the simulated drive, keyed by
// the command's bytes, direction and transfer length.
class ReplayTarget : public host::Target {
public:
    struct Answer {
        host::ScsiAnswer answer;
        std::vector<uint8_t> dataIn;
    };
    using Key = std::vector<uint8_t>;

    explicit ReplayTarget(std::map<Key, Answer> table) : table_(std::move(table)) {}
    host::ScsiAnswer Execute(const host::ScsiCommand& command) override;
    static Key KeyOf(const host::ScsiCommand& command);

private:
    std::map<Key, Answer> table_;
};

// The driver loaded, a device discovered on a replaying target, and the mix's answers
// recorded. Throws std::runtime_error when any of it fails.
class RequestMix {
public:
    RequestMix();
    // Runs the mix once; returns the step calls it took (counted only when `count` is set,
    // since counting costs a callback per call).
    uint64_t Run(bool count = false);
    unsigned requests() const { return requests_; }  // in one run of the mix

private:
    host::ClassDriver driver_;
    std::unique_ptr<ReplayTarget> target_;
    std::optional<host::Device> device_;
    unsigned requests_ = 0;
};

}  // namespace bench
