// The user's own files at the two ends of velmtape's data path, opened the careful way: what
// `write` reads must be a file or a stream, and what `read` writes must never destroy an
// existing file when the read fails, never follow a link someone could have planted, and
// never leave a temporary file behind.
#pragma once

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

// Where `read` puts the data. Throws ToolError with the reason, before the tape moves, when
// the target may not be written:
// - "-", or a link leading to the open standard output (/dev/stdout, /dev/fd/1): standard
//   output, written directly;
// - a path that does not exist, or a regular file with one link that the user may write: a
//   new file beside it (same directory, created exclusively, the old file's permissions and
//   owner, or those a new file gets), renamed over the path by Commit(); until then, and when
//   the tool is interrupted by SIGINT, SIGTERM or SIGHUP, the new file is removed again;
// - a pipe or a character device (/dev/null, a terminal): written directly, as nothing can
//   be kept of it anyway;
// - refused: any other link (it may have been planted to make us overwrite another file), a
//   regular file with several links (a new file would split them), a directory, a block
//   device, a socket, a file the user may not write.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();  // removes the new file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all of `data`: 0, or the error number of the failed write (EPIPE, ENOSPC, ...).
    int Write(const uint8_t* data, size_t length);
    // Puts the new file in place of the old, flushed to disk first: 0, or the error number;
    // the old file is then untouched and the new one removed.
    int Commit();

    const std::string& name() const { return name_; }  // for messages
    bool replaces() const { return !tempPath_.empty(); }

private:
    void Discard();

    int fd_ = -1;
    bool owned_ = false;
    std::string name_;
    std::string path_;
    std::string tempPath_;  // the new file while it is written; empty when written directly
};

// The text of an error number, as the system says it.
std::string ErrorText(int error);

}  // namespace tools
