// The progress line of `read` and `write`, drawn with terminal escapes over itself.
#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "tools/report.h"

namespace tools {
namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(const char* verb, std::optional<uint64_t> total)
    : verb_(verb), total_(total), enabled_(isatty(STDERR_FILENO) != 0)
{
}

Progress::~Progress()
{
    if (shown_) {
        std::cerr << "\r\033[K" << std::flush;
    }
}

void Progress::Update(uint64_t done)
{
    if (!enabled_) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now - last_ < kProgressInterval) {
        return;
    }
    last_ = now;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::cerr << "\r" << verb_ << ": " << Human(done);
    if (total_ && *total_ > 0) {
        std::cerr << " of " << Human(*total_) << " ("
                  << std::min<uint64_t>(100, done * 100 / *total_) << "%)";
    }
    if (seconds > 0) {
        std::cerr << ", " << Human(static_cast<uint64_t>(static_cast<double>(done) / seconds))
                  << "/s";
    }
    std::cerr << "\033[K" << std::flush;
}

}  // namespace tools
