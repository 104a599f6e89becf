// Where `read` puts its data: never an existing file destroyed by a read that fails, never a
// link someone could have planted followed, never a half-written file or a temporary left
// behind, whatever ends the tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace tools {

// Opened before the tape moves; throws ToolError with the reason when the target may not be
// written:
// - "-", or a link leading to the open standard output (/dev/stdout, /dev/fd/1): standard
//   output, written directly;
// - a pipe or a character device (/dev/null, a terminal): written directly, as nothing can
//   be kept of it anyway;
// - a path that does not exist, or a regular file with one link that the user may write: a
//   new file without a name in the same directory (O_TMPFILE), with the old file's
//   permissions and owner or those a new file gets, linked in by Commit() once complete. A
//   tool killed before then leaves nothing, whatever the signal. Where the file system has
//   no unnamed files, a named one beside the path (.NAME.velmtape-XXXXXX), removed again on
//   every signal that can be caught;
// - refused: any other link, a regular file with several links (a new file would split
//   them), a directory, a block device, a socket, a file the user may not write.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();  // drops the new file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all of `data`: 0, or the error number of the failed write (EPIPE, ENOSPC, EFBIG).
    int Write(const uint8_t* data, size_t length);
    // Puts the new file in place of the old, flushed to disk first: 0, or the error number;
    // the old file is then untouched and the new one gone.
    int Commit();

    const std::string& name() const { return name_; }  // for messages
    bool replaces() const { return kind_ != Kind::Direct; }

private:
    enum class Kind { Direct, Unnamed, Named };
    void OpenBeside(bool exists, mode_t mode, uid_t uid, gid_t gid);
    int LinkUnnamed();
    void Discard();

    Kind kind_ = Kind::Direct;
    int fd_ = -1;
    bool owned_ = false;
    bool exists_ = false;  // a file stands at the path and is replaced
    int dir_ = -1;         // the directory of the path, where the new file goes
    std::string name_;
    std::string base_;      // the path's last component, relative to dir_
    std::string tempName_;  // Kind::Named: the new file's name in dir_ while it is written
    uint64_t written_ = 0;  // bytes in the new file
    uint64_t started_ = 0;  // of which the disk has been asked to take this many
};

}  // namespace tools
