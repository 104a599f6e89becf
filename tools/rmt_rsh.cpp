// velmtape-rsh: stands in for rsh or ssh where tar (--rsh-command), mt (--rsh-command) and
// dump (RSH) start the remote tape server, as `velmtape-rsh HOST [-l USER] RMT`. For this
// machine it serves the protocol with the velmtape installed beside it, whatever rmt the
// caller named; for another host it has ssh run `velmtape rmt` there.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "velmtape-rsh";
constexpr int kExitUsage = 1;
constexpr int kExitNotRun = 127;  // as a shell says that a command could not be started
const char* const kThisMachine[] = {"localhost", "127.0.0.1", "::1"};

struct Call {
    std::string host;
    std::optional<std::string> user;
    std::vector<std::string> command;
};

int Refuse(const std::string& what)
{
    std::cerr << kName << ": " << what
              << "\nusage: velmtape-rsh HOST [-l USER] RMT-COMMAND, as tar --rsh-command, mt "
                 "--rsh-command and dump's RSH call it\n";
    return kExitUsage;
}

// rsh's own order is "-l USER HOST COMMAND"; tar and dump put "-l USER" after the host.
std::optional<Call> Parse(int argc, char** argv, std::string& why)
{
    Call call;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-l" && i + 1 < argc) {
            call.user = argv[++i];
        } else if (word == "-l") {
            why = "-l needs a user name";
            return std::nullopt;
        } else if (call.host.empty()) {
            call.host = word;
        } else {
            break;
        }
    }
    call.command.assign(argv + i, argv + argc);
    if (call.host.empty()) {
        why = "no host named";
    } else if (call.host[0] == '-') {
        why = "'" + call.host + "' is no host name (a host name never starts with '-')";
    } else if (call.command.empty()) {
        why = "no command: velmtape-rsh starts only the remote tape server";
    } else {
        // Only a remote tape server is stood in for: any other command would be answered by
        // the protocol and leave its caller waiting for something else.
        const std::string& program = call.command[0];
        const std::string base = program.substr(program.rfind('/') + 1);
        if (base.rfind("rmt", 0) != 0 || call.command.size() > 1) {
            why = "'" + program + (call.command.size() > 1 ? " ...'" : "'") +
                  " is not a remote tape server (rmt); velmtape-rsh starts only that";
        }
    }
    if (!why.empty()) {
        return std::nullopt;
    }
    return call;
}

bool ThisMachine(const std::string& host)
{
    for (const char* name : kThisMachine) {
        if (host == name) {
            return true;
        }
    }
    return false;
}

// The velmtape installed beside this program.
std::optional<std::string> SiblingVelmtape()
{
    std::vector<char> self(PATH_MAX + 1);
    const ssize_t length = readlink("/proc/self/exe", self.data(), PATH_MAX);
    if (length <= 0) {
        return std::nullopt;
    }
    const std::string path(self.data(), static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "velmtape";
}

int Run(std::vector<std::string> words)
{
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::cerr << kName << ": cannot run " << words[0] << ": " << std::strerror(errno) << "\n";
    return kExitNotRun;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    const std::optional<Call> call = Parse(argc, argv, why);
    if (!call) {
        return Refuse(why);
    }
    // VELMTAPE_RMT_TRACE=1 shows each request and the driver's requests it became on the
    // server's standard error, which the caller passes on.
    const char* traceWanted = std::getenv("VELMTAPE_RMT_TRACE");
    const bool trace = traceWanted != nullptr && *traceWanted != '\0';
    std::vector<std::string> server{"velmtape"};
    if (trace) {
        server.emplace_back("--trace");
    }
    server.emplace_back("rmt");

    if (ThisMachine(call->host)) {
        const passwd* me = getpwuid(geteuid());
        if (call->user && (me == nullptr || *call->user != me->pw_name)) {
            return Refuse("asked to serve " + call->host + " as " + *call->user +
                          "; velmtape-rsh serves this machine only as the user running it (" +
                          (me != nullptr ? me->pw_name : "unknown") + ")");
        }
        const std::optional<std::string> velmtape = SiblingVelmtape();
        if (!velmtape) {
            std::cerr << kName << ": cannot find where velmtape-rsh itself is installed\n";
            return kExitNotRun;
        }
        server[0] = *velmtape;
        return Run(server);
    }
    const char* sshWanted = std::getenv("VELMTAPE_SSH");  // another ssh, for tests
    std::vector<std::string> ssh{sshWanted != nullptr && *sshWanted != '\0' ? sshWanted : "ssh"};
    if (call->user) {
        ssh.insert(ssh.end(), {"-l", *call->user});
    }
    ssh.insert(ssh.end(), {"--", call->host});
    ssh.insert(ssh.end(), server.begin(), server.end());
    return Run(ssh);
}
