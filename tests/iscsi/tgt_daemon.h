// A tgtd of the test's own on a loopback portal: a free port, a control number of its own, its
// socket in a temporary folder, and two tape logical units: LUN 1 presents the QT-7310, LUN 2
// keeps tgt's own identity. Always stopped by its pid, also when a test fails or crashes.
#pragma once

#include <sys/types.h>

#include <string>

namespace tgt {

inline constexpr const char* kTargetName = "iqn.1997-08.com.velm:qt7310";

class Daemon {
public:
    Daemon() = default;
    ~Daemon() { Stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Empty when tgtd, tgtadm and tgtimg are installed; otherwise why these tests skip.
    static std::string Missing();

    // Makes the tape images and starts tgtd; false with `error()` when it could not.
    bool Start();
    // Starts tgtd again on the same port and images, after Kill().
    bool Restart();
    // Graceful stop: target and system deleted through tgtadm, SIGKILL as the fallback.
    void Stop();
    // The connection dropped under the initiator: SIGKILL, reaped.
    void Kill();
    void Pause();   // SIGSTOP: the target stops answering
    void Resume();  // SIGCONT

    std::string Url(int lun) const;
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

private:
    bool Launch();
    bool Admin(const std::string& arguments);

    std::string dir_;
    int port_ = 0;
    int control_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace tgt
