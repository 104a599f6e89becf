// The process's standard descriptors and write-ending signals put in order at start, before
// the command line is read.
#include "tools/process_start.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tools {

bool PrepareProcess()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one, as the ones below it are open by now.
        const int null = open("/dev/null", O_RDWR);
        if (null < 0) {
            return false;
        }
        if (null != fd) {
            const bool moved = dup2(null, fd) == fd;
            close(null);
            if (!moved) {
                return false;
            }
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

}  // namespace tools
