// Maps VELMDAT.SYS into a 32-bit Linux process the way the platform's loader would: sections at
// their virtual addresses, base relocations applied for wherever the mapping landed, the tape
// class driver's imports bound to functions of this process. Nothing runs until every step
// succeeded; a file that cannot be mapped completely is refused with a reason.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace peimage {

// Address of the function that serves an import, or nullptr when nothing here serves it.
using ImportResolver = std::function<void*(const std::string& module, const std::string& name)>;

struct MappedSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;  // in memory
    uint32_t characteristics = 0;
};

class LoadedImage {
public:
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    // Maps the file; on failure returns nullptr and says why in error.
    static std::unique_ptr<LoadedImage> Map(const std::vector<uint8_t>& file,
                                            const ImportResolver& resolve, std::string& error);

    uint8_t* base() const { return base_; }
    uint32_t size() const { return size_; }
    uint32_t preferredBase() const { return preferredBase_; }
    // What the relocations added to every absolute address in the image.
    uint32_t delta() const;
    void* entry() const { return base_ + entryRva_; }
    unsigned relocationsApplied() const { return relocations_; }
    unsigned importsBound() const { return imports_; }
    const std::vector<MappedSection>& sections() const { return sections_; }
    bool Contains(const void* address) const;
    // True when the address lies in an executable section.
    bool InCode(const void* address) const;

private:
    LoadedImage() = default;

    uint8_t* base_ = nullptr;
    uint32_t size_ = 0;
    uint32_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    unsigned relocations_ = 0;
    unsigned imports_ = 0;
    std::vector<MappedSection> sections_;
};

// Reads a whole file; false with a reason when it cannot.
bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

}  // namespace peimage
