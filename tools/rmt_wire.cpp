// The protocol's bytes on the two descriptors: buffered reading of request letters, lines and
// data within the bounds the header names, and replies written in one piece each.
#include "tools/rmt_wire.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <regex>

namespace tools::rmt {
namespace {

constexpr size_t kChunk = size_t{1} << 20;  // data taken from the client at a time
constexpr size_t kMessageMax = 512;         // an error message is one short line

struct FlagName {
    const char* name;
    int value;
};

// The names GNU tar sends and rmt(8) lists; others are refused rather than guessed.
constexpr FlagName kFlagNames[] = {
    {"RDONLY", O_RDONLY},       {"WRONLY", O_WRONLY},     {"RDWR", O_RDWR},
    {"CREAT", O_CREAT},         {"EXCL", O_EXCL},         {"NOCTTY", O_NOCTTY},
    {"TRUNC", O_TRUNC},         {"APPEND", O_APPEND},     {"NONBLOCK", O_NONBLOCK},
    {"NDELAY", O_NDELAY},       {"SYNC", O_SYNC},         {"DSYNC", O_DSYNC},
    {"LARGEFILE", O_LARGEFILE}, {"NOFOLLOW", O_NOFOLLOW}, {"CLOEXEC", O_CLOEXEC},
};

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::optional<int> SymbolicFlags(const std::string& text)
{
    int flags = 0;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t bar = std::min(text.find('|', from), text.size());
        std::string name = Trim(text.substr(from, bar - from));
        if (name.rfind("O_", 0) == 0) {
            name.erase(0, 2);
        }
        const auto* found = std::find_if(std::begin(kFlagNames), std::end(kFlagNames),
                                         [&](const FlagName& f) { return name == f.name; });
        if (found == std::end(kFlagNames)) {
            return std::nullopt;
        }
        flags |= found->value;
        from = bar + 1;
    }
    return flags;
}

}  // namespace

bool Wire::Fill()
{
    start_ = 0;
    end_ = 0;
    while (true) {
        const ssize_t got = read(in_, buffer_.data(), buffer_.size());
        if (got > 0) {
            end_ = static_cast<size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return false;  // end of input, or a failed read: either way nothing more comes
    }
}

bool Wire::Byte(char& c)
{
    if (start_ == end_ && !Fill()) {
        return false;
    }
    c = static_cast<char>(buffer_[start_++]);
    return true;
}

Wire::Got Wire::Line(std::string& line)
{
    line.clear();
    char c = 0;
    while (Byte(c)) {
        if (c == '\n') {
            return Got::Ok;
        }
        if (line.size() == kLineMax) {
            return Got::TooLong;
        }
        line.push_back(c);
    }
    return Got::End;
}

bool Wire::Take(size_t n, std::vector<uint8_t>& data)
{
    while (n > 0) {
        if (start_ == end_ && !Fill()) {
            return false;
        }
        const size_t part = std::min({n, end_ - start_, kChunk});
        data.insert(data.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                    buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + part));
        start_ += part;
        n -= part;
    }
    return true;
}

bool Wire::Skip(uint64_t n)
{
    while (n > 0) {
        if (start_ == end_ && !Fill()) {
            return false;
        }
        const size_t part = static_cast<size_t>(std::min<uint64_t>(n, end_ - start_));
        start_ += part;
        n -= part;
    }
    return true;
}

bool Wire::WriteAll(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(out_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool Wire::Send(const Reply& reply)
{
    if (reply.ok()) {
        return WriteAll("A" + std::to_string(reply.value) + "\n");
    }
    // The message is one line for the client to print: no line breaks, no endless text.
    std::string message = reply.message.substr(0, kMessageMax);
    std::replace(message.begin(), message.end(), '\n', ' ');
    return WriteAll("E" + std::to_string(reply.error) + "\n" + message + "\n");
}

bool Wire::SendData(int64_t value, const uint8_t* data, size_t length)
{
    std::string bytes = "A" + std::to_string(value) + "\n";
    bytes.append(reinterpret_cast<const char*>(data), length);
    return WriteAll(bytes);
}

std::optional<int64_t> ParseNumber(const std::string& text)
{
    static const std::regex number(R"( *([-+]?)([0-9]{1,19}) *)");
    std::smatch parts;
    if (!std::regex_match(text, parts, number)) {
        return std::nullopt;
    }
    const uint64_t magnitude = std::stoull(parts[2].str());
    const bool negative = parts[1].str() == "-";
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) {
        return std::nullopt;
    }
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

std::optional<int> ParseAccessMode(const std::string& text)
{
    const std::string flags = Trim(text);
    const size_t space = flags.find(' ');
    std::optional<int> value;
    if (space != std::string::npos) {
        // "65 O_WRONLY|O_CREAT": the names decide, the number must still be one.
        if (!ParseNumber(flags.substr(0, space))) {
            return std::nullopt;
        }
        value = SymbolicFlags(flags.substr(space + 1));
    } else if (const std::optional<int64_t> number = ParseNumber(flags)) {
        if (*number >= 0 && *number <= INT32_MAX) {
            value = static_cast<int>(*number);
        }
    } else {
        value = SymbolicFlags(flags);
    }
    if (!value || (*value & O_ACCMODE) == O_ACCMODE) {
        return std::nullopt;
    }
    return *value & O_ACCMODE;
}

DeviceName ParseDeviceName(const std::string& name)
{
    // The suffix is read off the name as text: it names no file, so nothing on disk (a
    // cartridge file or a cartridge folder) changes what it means.
    for (const auto& [suffix, rewind] : {std::pair{"/nst", false}, std::pair{"/st", true}}) {
        const std::string tail = suffix;
        if (name.size() > tail.size() &&
            name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
            return DeviceName{name.substr(0, name.size() - tail.size()), rewind};
        }
    }
    static const std::regex noRewindNode(R"(/dev/nst[0-9]+[lma]?)");
    return DeviceName{name, !std::regex_match(name, noRewindNode)};
}

}  // namespace tools::rmt
