// Choosing and opening velmtape's target from `-f`, so that the session itself only knows
// "simulated drive" or "device target".
#include "tools/target_choice.h"

#include <regex>

#include "host/iscsi_target.h"
#include "host/sg_target.h"
#include "tools/cartridge_store.h"

namespace tools {
namespace {

constexpr const char* kIscsiScheme = "iscsi://";

}  // namespace

TargetKind ChooseTarget(const std::string& name)
{
    if (name.rfind(kIscsiScheme, 0) == 0) {
        return TargetKind::Iscsi;
    }
    if (name.rfind("/dev/", 0) != 0) {
        return TargetKind::Cartridge;  // the common case, without building the pattern below
    }
    static const std::regex device(R"(/dev/(sg[0-9]+|n?st[0-9]+[lma]?))");
    return std::regex_match(name, device) ? TargetKind::ScsiGeneric : TargetKind::Cartridge;
}

std::string ShownName(const std::string& name)
{
    if (ChooseTarget(name) != TargetKind::Iscsi) {
        return name;
    }
    // iscsi://user%password@host/...: the user stays, every password goes.
    const size_t start = std::char_traits<char>::length(kIscsiScheme);
    const size_t at = name.find('@', start);
    const size_t slash = name.find('/', start);
    if (at == std::string::npos || (slash != std::string::npos && slash < at)) {
        return name;
    }
    const std::string credentials = name.substr(start, at - start);
    const size_t percent = credentials.find('%');
    const std::string user = credentials.substr(0, percent);
    return name.substr(0, start) + user + (percent == std::string::npos ? "" : "%***") +
           name.substr(at);
}

std::unique_ptr<host::DeviceTarget> OpenDeviceTarget(const std::string& name)
{
    std::string error;
    std::unique_ptr<host::Transport> transport;
    if (ChooseTarget(name) == TargetKind::Iscsi) {
        host::IscsiOptions options;
        options.url = name;
        transport = host::IscsiTransport::Open(options, error);
    } else {
        transport = host::SgTransport::Open(name, host::LinuxSgSystem(), error);
    }
    if (!transport) {
        throw ToolError(ShownName(name), error);
    }
    return std::make_unique<host::DeviceTarget>(std::move(transport));
}

}  // namespace tools
