#include "log_entries.h"

#include <cstdlib>
#include <regex>

#include "testkit.h"

namespace kstest {

std::string DefaultLog() {
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.kestRun.log";
}

std::optional<LogEntry> ParseEntry(const std::string& line) {
    // The names are padded to their columns; the pid ("%6u") to six.
    static const std::regex prefix(
        R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} \[([a-z ]{7}) ([a-z ]{6}) ( {0,5}\d+)\] )");
    std::smatch m;
    if (!std::regex_search(line, m, prefix)) return std::nullopt;
    return LogEntry{m[1], m[2], std::stol(m[3]), m.suffix()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> Messages(const std::string& path) {
    std::vector<std::string> messages;
    for (const auto& line : Lines(ReadFile(path).value_or(""))) {
        const auto entry = ParseEntry(line);
        messages.push_back(entry ? entry->message : "<not an entry> " + line);
    }
    return messages;
}

std::vector<LogEntry> ReadLog() {
    const auto unpadded = [](const std::string& name) {
        return name.substr(0, name.find_last_not_of(' ') + 1);
    };
    std::vector<LogEntry> entries;
    for (const auto& line : Lines(ReadFile(DefaultLog()).value_or(""))) {
        if (auto entry = ParseEntry(line)) {
            entry->category = unpadded(entry->category);
            entry->priority = unpadded(entry->priority);
            entries.push_back(std::move(*entry));
        } else if (!entries.empty()) {
            entries.back().message += "\n" + line;
        } else {
            entries.push_back({"?", "?", 0, line});
        }
    }
    return entries;
}

}  // namespace kstest
