// pecheck FILE: checks a driver image and lists every failed check; exit 0 when it passes,
// 1 when a check fails, 2 when the file cannot be read.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "image/pecheck.h"

namespace {
// A driver image is a few kilobytes; anything this large is not one.
constexpr std::streamoff kMaxImageBytes = std::streamoff{64} * 1024 * 1024;
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pecheck FILE\n");
        return 2;
    }
    const char* const path = argv[1];
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "pecheck: %s: cannot open\n", path);
        return 2;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxImageBytes) {
        std::fprintf(stderr, "pecheck: %s: not a driver image (size)\n", path);
        return 2;
    }
    in.seekg(0);
    std::vector<uint8_t> file(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(file.data()), size)) {
        std::fprintf(stderr, "pecheck: %s: cannot read\n", path);
        return 2;
    }
    const std::vector<pecheck::Finding> findings = pecheck::CheckImage(file);
    for (const pecheck::Finding& f : findings) {
        std::fprintf(stderr, "pecheck: %s: %s: %s\n", path, pecheck::CheckName(f.check),
                     f.detail.c_str());
    }
    if (!findings.empty()) {
        return 1;
    }
    std::printf("%s: ok, %zu bytes\n", path, file.size());
    return 0;
}
