// The remote tape protocol's bytes: requests read from a descriptor within fixed bounds, so
// that no input, however long or hostile, makes the server hold more than one block; and the
// replies `A<number>` and `E<errno>` with a one-line message, written back whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tools::rmt {

// The longest line a request may carry: a device name of PATH_MAX bytes.
inline constexpr size_t kLineMax = 4096;
// The most data bytes one read or write request may move: the longest block READ(6) and
// WRITE(6) can carry (a 24-bit length).
inline constexpr size_t kTransferMax = 0xFFFFFF;

// What a request answers: a number, or the error number and its message.
struct Reply {
    int64_t value = 0;
    int error = 0;  // 0: done
    std::string message;

    static Reply Done(int64_t value) { return Reply{value, 0, {}}; }
    static Reply Failed(int error, std::string message)
    {
        return Reply{-1, error, std::move(message)};
    }
    bool ok() const { return error == 0; }
};

class Wire {
public:
    Wire(int in, int out) : in_(in), out_(out) {}

    enum class Got { Ok, End, TooLong };

    // The next byte of input; false at its end.
    bool Byte(char& c);
    // The characters up to the next newline, without it.
    Got Line(std::string& line);
    // Exactly `n` more bytes appended to `data`, which grows only as they arrive; false when
    // the input ends first.
    bool Take(size_t n, std::vector<uint8_t>& data);
    // Reads past `n` bytes without keeping them; false when the input ends first.
    bool Skip(uint64_t n);

    // False when the client has gone away.
    bool Send(const Reply& reply);
    bool SendData(int64_t value, const uint8_t* data, size_t length);

private:
    bool Fill();
    bool WriteAll(const std::string& bytes);

    int in_;
    int out_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
    size_t start_ = 0;
    size_t end_ = 0;
};

// A decimal number as the protocol writes counts: an optional sign and digits, with spaces
// around allowed; nothing else, and nothing beyond 64 bits.
std::optional<int64_t> ParseNumber(const std::string& text);

// The access mode (O_RDONLY, O_WRONLY or O_RDWR) of an open request's flags: a decimal
// number, symbolic names joined by '|' (with or without O_), or a number followed by its
// names, which then decide. Nothing for flags that do not read as any of these.
std::optional<int> ParseAccessMode(const std::string& text);

// A device name of an open request: the cartridge or device itself (rewound at close), or
// with `/st` (rewound) or `/nst` (not rewound) after it, as Linux names its tape devices;
// /dev/nstN is the no-rewind node of a SCSI tape.
struct DeviceName {
    std::string target;
    bool rewindAtClose = true;
};
DeviceName ParseDeviceName(const std::string& name);

}  // namespace tools::rmt
