// The cartridge opened for one invocation, its failures turned into the tool's
// messages: `velmtape: PATH: cannot use cartridge: <why> (left unchanged)`.
#include "tools/cartridge_store.h"

#include <iostream>

#include "tools/report.h"

namespace tools {

namespace {

store::OpenOptions Options(const std::string& path, std::chrono::milliseconds busyWait)
{
    store::OpenOptions options;
    options.busyWait = busyWait;
    options.notice = [path](const std::string& text) {
        std::cerr << "velmtape: " << Printable(path + ": " + text) << std::endl;
    };
    return options;
}

}  // namespace

ToolError FromStoreError(const std::string& path, const store::StoreError& error)
{
    switch (error.reason()) {
    case store::StoreError::Reason::Missing:
    case store::StoreError::Reason::Busy:
        return ToolError(path, error.what());
    default:
        return ToolError(
            path, std::string("cannot use cartridge: ") + error.what() + " (left unchanged)");
    }
}

std::unique_ptr<store::CartridgeDb> OpenCartridge(const std::string& path,
                                                  std::chrono::milliseconds busyWait)
{
    try {
        return store::CartridgeDb::Open(path, Options(path, busyWait));
    } catch (const store::StoreError& e) {
        throw FromStoreError(path, e);
    }
}

std::unique_ptr<store::CartridgeDb> NewCartridge(const std::string& path,
                                                 const sim::Cartridge& blank, bool replace,
                                                 std::chrono::milliseconds busyWait)
{
    try {
        return store::CartridgeDb::Create(path, blank, replace, Options(path, busyWait));
    } catch (const store::StoreError& e) {
        if (e.reason() == store::StoreError::Reason::Other) {
            throw ToolError(path, e.what());
        }
        throw FromStoreError(path, e);
    }
}

}  // namespace tools
