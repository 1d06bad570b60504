#include "epc_setting.h"

#include <span>
#include <string_view>

#include "fd_io.h"

namespace uninstall {

namespace {

constexpr std::string_view kKey = "uninstallEpcOnUninstall=";
constexpr std::string_view kOn = "true";

// The scan of the settings text, a byte at a time: lines of any length in
// fixed memory, wherever the reads end.
class SettingScan {
  public:
    void take(char c) {
        if (c == '\n') {
            end_line();
            return;
        }
        line_started_ = true;
        switch (state_) {
            case Line::key:
                if (c != kKey[matched_]) {
                    state_ = Line::other;
                } else if (++matched_ == kKey.size()) {
                    state_ = Line::value;
                    matched_ = 0;
                }
                break;
            case Line::value:
                if (matched_ < kOn.size() && c == kOn[matched_])
                    ++matched_;
                else
                    state_ = Line::value_off;
                break;
            case Line::value_off:
            case Line::other:
                break;
        }
    }

    // The verdict once the text has ended.
    bool finish() {
        if (line_started_) end_line();  // a last line without a line end
        return on_;
    }

  private:
    // Where the scan is within the current line.
    enum class Line {
        key,        // every byte so far matches the start of kKey
        value,      // key seen; every value byte so far matches the start of kOn
        value_off,  // key seen; the value is not "true"
        other,      // not a setting line
    };

    void end_line() {
        if (state_ == Line::value) on_ = matched_ == kOn.size();
        if (state_ == Line::value_off) on_ = false;
        state_ = Line::key;
        matched_ = 0;
        line_started_ = false;
    }

    bool on_ = false;
    Line state_ = Line::key;
    size_t matched_ = 0;  // bytes of kKey, then of kOn, matched so far
    bool line_started_ = false;
};

}  // namespace

std::optional<bool> epc_removal_requested(int fd) {
    SettingScan scan;
    char buf[4096];
    const auto end = kestrun::read_chunks(
        fd, buf,
        [&](std::span<char> bytes) {
            for (const char c : bytes) scan.take(c);
        },
        kSettingsFileLimit);
    if (end != kestrun::ReadEnd::end) return std::nullopt;
    return scan.finish();
}

}  // namespace uninstall
