// libFuzzer target: any MainMachine.ord content must decode without a crash,
// a hang or unbounded memory, and an encoded name must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "startup/main_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > rz::kNameFileLimit) return 0;
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string name = rz::DecodeNameFile(content);
    if (!name.empty()) {
        const std::string line = rz::EncodeMainMachine(name, '3');
        if (!line.empty() && rz::DecodeNameFile(line) != name) std::abort();
    }
    return 0;
}
