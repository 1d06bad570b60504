// The uninstaller's settings scan on any file content: never a crash, and
// the same verdict as a plain reading of the rules (the last line beginning
// with "uninstallEpcOnUninstall=" decides; on only for exactly "true").
#include <string_view>

#include "epc_setting.h"
#include "fuzz_input.h"

namespace {

bool Reference(std::string_view text) {
    constexpr std::string_view kKey = "uninstallEpcOnUninstall=";
    bool on = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.substr(0, kKey.size()) == kKey) on = line.substr(kKey.size()) == "true";
    }
    return on;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = ksfuzz::MemFile(data, size);
    const auto verdict = uninstall::epc_removal_requested(file.get());
    if (!verdict) ksfuzz::Mismatch("no verdict on a readable file");
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (*verdict != Reference(text)) ksfuzz::Mismatch("verdict against the rules");
    return 0;
}
