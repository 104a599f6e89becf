// Runs tgtd for one test: started with fork and exec so its pid is ours to wait for, tied
// to the test process (PR_SET_PDEATHSIG) so that not even a crash leaves it running.
#include "tgt_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace tgt {
namespace {

namespace fs = std::filesystem;
constexpr int kControlLow = 100;  // tgtadm's control number must stay at most 32767
constexpr int kControlSpan = 30000;
constexpr auto kStartWait = std::chrono::seconds(10);
constexpr auto kStopWait = std::chrono::seconds(3);

bool OnPath(const std::string& program)
{
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

std::string Slurp(const fs::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WaitGone(pid_t pid, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

std::string Daemon::Missing()
{
    for (const char* program : {"tgtd", "tgtadm", "tgtimg"}) {
        if (!OnPath(program)) {
            return std::string(program) +
                   " not installed (Debian package tgt): iSCSI tests skipped";
        }
    }
    return {};
}

bool Daemon::Admin(const std::string& arguments)
{
    const std::string command = "TGT_IPC_SOCKET=" + dir_ + "/mgmt.sock tgtadm -C " +
                                std::to_string(control_) + " " + arguments + " >>" + dir_ +
                                "/tgtadm.log 2>&1";
    // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
    if (std::system(command.c_str()) != 0) {
        error_ = "tgtadm " + arguments + " failed: " + Slurp(dir_ + "/tgtadm.log");
        return false;
    }
    return true;
}

bool Daemon::Start()
{
    char pattern[] = "/tmp/velmdat-tgt-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "no temporary folder";
        return false;
    }
    dir_ = pattern;
    std::random_device seed;
    control_ = kControlLow + static_cast<int>(seed() % kControlSpan);
    port_ = FreePort();
    for (const auto& [image, barcode] :
         {std::pair{"tape0.img", "VELM0001"}, std::pair{"tape1.img", "OTHR0001"}}) {
        const std::string command = std::string("tgtimg --op new --device-type tape --barcode ") +
                                    barcode + " --size 8 --type data --file " + dir_ + "/" + image +
                                    " >/dev/null 2>&1";
        // NOLINTNEXTLINE(cert-env33-c): the test runs fixed commands of its own
        if (std::system(command.c_str()) != 0) {
            error_ = std::string("tgtimg could not make ") + image;
            return false;
        }
    }
    return Launch();
}

bool Daemon::Restart()
{
    return Launch();
}

bool Daemon::Launch()
{
    const std::string log = dir_ + "/tgtd.log";
    const std::string socket = dir_ + "/mgmt.sock";
    const std::string control = std::to_string(control_);
    const std::string portal = "portal=127.0.0.1:" + std::to_string(port_);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        setenv("TGT_IPC_SOCKET", socket.c_str(), 1);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execlp("tgtd", "tgtd", "-f", "-C", control.c_str(), "--iscsi", portal.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + kStartWait;
    while (!Admin("--mode system --op show")) {
        if (std::chrono::steady_clock::now() > until || waitpid(pid_, nullptr, WNOHANG) == pid_) {
            error_ = "tgtd did not come up: " + Slurp(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // tgtd keeps running when it cannot bind its portal; an initiator would then reach
    // whatever else owns the port.
    if (Slurp(log).find("failed to create/bind") != std::string::npos) {
        error_ = "tgtd could not bind 127.0.0.1:" + std::to_string(port_);
        return false;
    }
    const std::string lu = "--lld iscsi --mode logicalunit --tid 1 ";
    return Admin(std::string("--lld iscsi --mode target --op new --tid 1 --targetname ") +
                 kTargetName) &&
           Admin(lu + "--op new --lun 1 --device-type tape --backing-store " + dir_ +
                 "/tape0.img") &&
           Admin(lu +
                 "--op update --lun 1 --params "
                 "vendor_id=VELM,product_id=QT-7310,product_rev=0100") &&
           Admin(lu + "--op new --lun 2 --device-type tape --backing-store " + dir_ +
                 "/tape1.img") &&
           Admin("--lld iscsi --mode target --op bind --tid 1 --initiator-address 127.0.0.1");
}

void Daemon::Stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
        // tgtd ignores SIGTERM and SIGINT: it is told to go through its control socket.
        Admin("--lld iscsi --mode target --op delete --tid 1 --force");
        Admin("--mode system --op delete");
        if (!WaitGone(pid_, kStopWait)) {
            Kill();
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        dir_.clear();
    }
}

void Daemon::Kill()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void Daemon::Pause()
{
    kill(pid_, SIGSTOP);
}

void Daemon::Resume()
{
    kill(pid_, SIGCONT);
}

std::string Daemon::Url(int lun) const
{
    return "iscsi://127.0.0.1:" + std::to_string(port_) + "/" + kTargetName + "/" +
           std::to_string(lun);
}

}  // namespace tgt
