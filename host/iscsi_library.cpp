#include "host/iscsi_library.h"

#include <dlfcn.h>

#include <mutex>

namespace host {
namespace {

// The run-time name of the library the headers describe (Debian's libiscsi7).
constexpr const char* kLibraryName = "libiscsi.so.7";

}  // namespace

const IscsiLibrary* LoadIscsi(std::string& error)
{
    static std::once_flag once;
    static IscsiLibrary library;
    static std::string failure;
    std::call_once(once, [] {
        void* handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            failure = std::string("cannot load ") + kLibraryName + ": " +
                      (why != nullptr ? why : "no reason given");
            return;
        }
        IscsiLibrary found;
        std::string missing;
#define VELMDAT_ISCSI_FIND(name)                                               \
    found.name = reinterpret_cast<decltype(found.name)>(dlsym(handle, #name)); \
    if (found.name == nullptr) {                                               \
        missing += missing.empty() ? #name : ", " #name;                       \
    }
        VELMDAT_ISCSI_ROUTINES(VELMDAT_ISCSI_FIND)
#undef VELMDAT_ISCSI_FIND
        if (!missing.empty()) {
            failure = std::string(kLibraryName) + " lacks " + missing;
            return;  // the handle stays: a library once loaded is never unloaded
        }
        library = found;
    });
    if (!failure.empty()) {
        error = failure;
        return nullptr;
    }
    return &library;
}

}  // namespace host
