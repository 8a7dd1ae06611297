// LogTestSupport.h -- configuring the log for a test and reading what it wrote.
#pragma once

#include "Logging.h"
#include "TestSupport.h"

#include <string>
#include <vector>

namespace kvtest {

const char kLogTestTag[] = "KVLUMEN.Test";
const char kLogKey[] = "SOFTWARE\\Korvane\\KVLumen\\Logging";

// Sets the log setting for kLogTestTag; an empty setting removes it.
inline void ConfigureLog(const std::string& setting) {
    if (setting.empty())
        DeleteMachineValue(kLogKey, kLogTestTag);
    else
        SetMachineString(kLogKey, kLogTestTag, setting);
}

// Splits a file's text into its lines, each without its CR LF (a last line without one is kept).
inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The message part of a line: what follows the tag and "::".
inline std::string MessageOf(const std::string& line) {
    std::string marker = std::string(kLogTestTag) + "::";
    size_t at = line.find(marker);
    return at == std::string::npos ? std::string() : line.substr(at + marker.size());
}

}  // namespace kvtest
