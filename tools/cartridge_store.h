// Where the simulated drive's cartridge lives between invocations: one cartridge folder
// (store/), which also keeps the drive's settings, the position and whether the cartridge
// is ejected or its removal prevented, and is locked while a velmtape uses it.
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/drive.h"
#include "store/cartridge_db.h"

namespace tools {

// The tool's own failures (bad usage, a cartridge file that cannot be used): exit status 1.
class ToolError : public std::runtime_error {
public:
    ToolError(std::string subject, const std::string& what)
        : std::runtime_error(what), subject_(std::move(subject))
    {
    }
    const std::string& subject() const { return subject_; }

private:
    std::string subject_;  // the cartridge or device the message is about; may be empty
};

// How long a velmtape waits for another one to finish with the cartridge.
inline constexpr std::chrono::milliseconds kDefaultBusyWait{5000};

// Opens (and locks) the cartridge at `path`, converting an old cartridge file once; waiting
// and conversion are told on stderr. Throws ToolError with the reason, the file unchanged.
std::unique_ptr<store::CartridgeDb> OpenCartridge(const std::string& path,
                                                  std::chrono::milliseconds busyWait);

// Makes `path` a blank cartridge; an existing file only with `replace`. Throws ToolError.
std::unique_ptr<store::CartridgeDb> NewCartridge(const std::string& path,
                                                 const sim::Cartridge& blank, bool replace,
                                                 std::chrono::milliseconds busyWait);

// A failure of the store met while a command ran (a damaged database found late).
ToolError FromStoreError(const std::string& path, const store::StoreError& error);

}  // namespace tools
