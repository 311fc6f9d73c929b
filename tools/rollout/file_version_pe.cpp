// The file version of a Windows executable on a host without Windows: LLVM's
// object library finds the version resource, and its fixed part holds the
// version as four 16-bit numbers.
#include <llvm/Object/COFF.h>
#include <llvm/Support/MemoryBuffer.h>

#include <cstdint>

#include "build_file.h"

namespace rollout {

namespace {

using llvm::object::coff_resource_dir_table;
using llvm::object::ResourceSectionRef;

constexpr std::uint16_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::size_t kFixedAt = 40;  // the header, "VS_VERSION_INFO" in UTF-16 with its NUL, aligned to 4

std::uint32_t Le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// The first entry of a resource table, as GetFileVersionInfo takes the
// first name and language it finds; null when there is none.
const llvm::object::coff_resource_dir_entry* First(ResourceSectionRef& rsrc, const coff_resource_dir_table& table) {
    if (table.NumberOfNameEntries + table.NumberOfIDEntries == 0) return nullptr;
    auto entry = rsrc.getTableEntry(table, 0);
    if (!entry) return llvm::consumeError(entry.takeError()), nullptr;
    return &*entry;
}

// The bytes of the first version resource; "" when there is none.
std::string VersionResource(ResourceSectionRef& rsrc) {
    auto types = rsrc.getBaseTable();
    if (!types) return llvm::consumeError(types.takeError()), "";
    for (std::uint32_t i = 0; i < std::uint32_t(types->NumberOfNameEntries) + types->NumberOfIDEntries; ++i) {
        auto type = rsrc.getTableEntry(*types, i);
        if (!type) return llvm::consumeError(type.takeError()), "";
        if (i < types->NumberOfNameEntries || type->Identifier.ID != kVersionType) continue;
        const llvm::object::coff_resource_dir_entry* entry = &*type;
        for (int level = 0; level < 2 && entry; ++level) {  // the name, then the language
            auto table = rsrc.getEntrySubDir(*entry);
            if (!table) return llvm::consumeError(table.takeError()), "";
            entry = First(rsrc, *table);
        }
        if (!entry) return "";
        auto data = rsrc.getEntryData(*entry);
        if (!data) return llvm::consumeError(data.takeError()), "";
        auto contents = rsrc.getContents(*data);
        if (!contents) return llvm::consumeError(contents.takeError()), "";
        return contents->str();
    }
    return "";
}

}  // namespace

std::string FileVersionOf(const std::string& path) {
    auto buffer = llvm::MemoryBuffer::getFile(path);
    if (!buffer) return "";
    auto coff = llvm::object::COFFObjectFile::create((*buffer)->getMemBufferRef());
    if (!coff) return llvm::consumeError(coff.takeError()), "";
    ResourceSectionRef rsrc;
    if (llvm::Error e = rsrc.load(coff->get())) return llvm::consumeError(std::move(e)), "";
    const std::string block = VersionResource(rsrc);
    if (block.size() < kFixedAt + 16 || Le32(block, kFixedAt) != kFixedSignature) return "";
    const std::uint32_t high = Le32(block, kFixedAt + 8), low = Le32(block, kFixedAt + 12);
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
           std::to_string(low & 0xFFFF);
}

}  // namespace rollout
