// What `write` puts on tape, opened the careful way (a file or a stream, never a device whose
// opening acts), and what names standard output; `read`'s output is in output_file.h.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tools {

// "-" as a file: standard input for `write`, standard output for `read`.
inline constexpr const char* kStandardStream = "-";

// Whether `read FILE` puts its data on standard output: FILE is "-", or a link such as
// /dev/stdout or /dev/fd/1 that leads to the open standard output. Every other word of the
// tool (result, trace, JSON, progress) must then go to standard error.
bool NamesStandardOutput(const std::string& path);

// What `write` puts on tape: a regular file, a pipe (a named FIFO, /dev/stdin on a pipe) or
// standard input ("-", whatever it is but a directory). Throws ToolError with the system's
// reason when the file cannot be opened or is anything else (a device, a directory, a socket).
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Fills `buffer` up to `capacity` unless the input ends first, so that a pipe delivering
    // in small pieces still makes whole blocks. Returns the bytes read (fewer only at the
    // end); `error` is the error number of a failed read, else 0.
    size_t Fill(uint8_t* buffer, size_t capacity, int& error);

    const std::string& name() const { return name_; }       // for messages
    std::optional<uint64_t> size() const { return size_; }  // known for regular files

private:
    int fd_ = -1;
    bool owned_ = false;
    std::string name_;
    std::optional<uint64_t> size_;
};

// Whether two stat answers are of one file.
bool SameFile(const struct stat& a, const struct stat& b);

// The text of an error number, as the system says it.
std::string ErrorText(int error);

}  // namespace tools
