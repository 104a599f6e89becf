// Running the built velmtape with its standard streams wired as a test needs them: a file or a
// pipe as standard input, a file, a device or a pipe as standard output.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tooltest {

inline std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void Spit(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// argv or envp for exec: the strings' pointers, then a null one; valid while `strings` lives.
inline std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The environment a child velmtape gets: this one's, without TAPE.
inline std::vector<std::string> EnvironmentWithoutTape()
{
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("TAPE=", 0) != 0) {
            environment.emplace_back(*e);
        }
    }
    return environment;
}

// Where a standard stream of the child comes from or goes to: an open descriptor of the
// test's (a pipe end), else a path opened for it.
struct Stream {
    int fd = -1;
    std::string path;
};

// Starts velmtape with `words` in `dir`, without TAPE in its environment unless `extraEnv`
// (NAME=value entries added to it) sets one.
inline pid_t Start(const std::vector<std::string>& words, const std::string& dir, const Stream& in,
                   const Stream& out, const Stream& err,
                   const std::vector<std::string>& extraEnv = {})
{
    std::vector<std::string> argvStore{VELMTAPE_BINARY};
    argvStore.insert(argvStore.end(), words.begin(), words.end());
    std::vector<char*> argv = Pointers(argvStore);
    std::vector<std::string> envStore = EnvironmentWithoutTape();
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp = Pointers(envStore);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const auto wire = [&](const Stream& stream, int target, int flags) {
        if (stream.fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stream.fd, target);
        } else {
            posix_spawn_file_actions_addopen(&actions, target, stream.path.c_str(), flags, 0644);
        }
    };
    wire(in, 0, O_RDONLY);
    wire(out, 1, O_WRONLY | O_CREAT | O_TRUNC);
    wire(err, 2, O_WRONLY | O_CREAT | O_TRUNC);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status, or 128 + the signal that ended the child.
inline int Wait(pid_t pid)
{
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What a finished run of velmtape left: its exit status (or 128 + the signal that ended it),
// standard output and standard error.
struct Ran {
    int exit = -1;
    std::string out;
    std::string err;
};

// Runs velmtape with `words` in `dir` to its end, standard input from /dev/null, standard
// output and error through the files `dir`/.out and `dir`/.err.
inline Ran Run(const std::vector<std::string>& words, const std::filesystem::path& dir,
               const std::vector<std::string>& extraEnv = {})
{
    const std::string out = (dir / ".out").string();
    const std::string err = (dir / ".err").string();
    Ran ran;
    ran.exit = Wait(Start(words, dir.string(), {-1, "/dev/null"}, {-1, out}, {-1, err}, extraEnv));
    ran.out = Slurp(out);
    ran.err = Slurp(err);
    return ran;
}

// A run that cannot run away: velmtape with `words` in `dir`, standard output and error into
// files there, ended by SIGALRM after `seconds` and by SIGXFSZ at a file of `fileBytes` (an
// alarm and a limit both outlive exec). The exit status, or 128 + the signal that ended it.
inline int RunBounded(const std::vector<std::string>& words, const std::string& dir,
                      const std::string& outPath, const std::string& errPath, unsigned seconds,
                      rlim_t fileBytes)
{
    std::vector<std::string> argvStore{VELMTAPE_BINARY};
    argvStore.insert(argvStore.end(), words.begin(), words.end());
    std::vector<char*> argv = Pointers(argvStore);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const rlimit limit{fileBytes, fileBytes};
        if (chdir(dir.c_str()) != 0 || out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(127);
        }
        alarm(seconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tooltest
