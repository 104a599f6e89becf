// A transfer's progress on a terminal: one line on standard error, redrawn at most four times
// a second, with how much has moved, of how much when that is known, and how fast.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace tools {

class Progress {
public:
    // Shows nothing unless standard error is a terminal.
    Progress(const char* verb, std::optional<uint64_t> total);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();  // clears the line

    void Update(uint64_t done);

private:
    using Clock = std::chrono::steady_clock;
    const char* verb_;
    std::optional<uint64_t> total_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_ = start_;
};

}  // namespace tools
