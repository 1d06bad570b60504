#include "epc_setting.h"

#include <string_view>

#include "byte_stream.h"

namespace uninstall {

namespace {

constexpr std::string_view kKey = "uninstallEpcOnUninstall=";
constexpr std::string_view kOn = "true";

// Where the scan is within the current line.
enum class Line {
    key,        // every byte so far matches the start of kKey
    value,      // key seen; every value byte so far matches the start of kOn
    value_off,  // key seen; the value is not "true"
    other,      // not a setting line
};

}  // namespace

std::optional<bool> epc_removal_requested(int fd) {
    ByteStream in(fd);
    bool on = false;
    Line state = Line::key;
    size_t matched = 0;  // bytes of kKey, then of kOn, matched so far
    bool line_started = false;
    size_t total = 0;

    const auto end_line = [&] {
        if (state == Line::value) on = matched == kOn.size();
        if (state == Line::value_off) on = false;
        state = Line::key;
        matched = 0;
        line_started = false;
    };

    while (const auto byte = in.next()) {
        if (++total > kSettingsFileLimit) return std::nullopt;
        const char c = static_cast<char>(*byte);
        if (c == '\n') {
            end_line();
            continue;
        }
        line_started = true;
        switch (state) {
            case Line::key:
                if (c != kKey[matched]) {
                    state = Line::other;
                } else if (++matched == kKey.size()) {
                    state = Line::value;
                    matched = 0;
                }
                break;
            case Line::value:
                if (matched < kOn.size() && c == kOn[matched])
                    ++matched;
                else
                    state = Line::value_off;
                break;
            case Line::value_off:
            case Line::other:
                break;
        }
    }
    if (in.failed()) return std::nullopt;
    if (line_started) end_line();  // a last line without a line end
    return on;
}

}  // namespace uninstall
