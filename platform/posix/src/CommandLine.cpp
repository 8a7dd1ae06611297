// CommandLine.cpp -- splitting a Windows command line into arguments.
#include "CommandLine.h"

namespace kvposix {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::vector<std::string> SplitCommandLine(const char* p) {
    std::vector<std::string> arguments;
    while (IsBlank(*p)) ++p;
    if (!*p) return arguments;

    std::string program;
    bool quoted = false;
    for (; *p && (quoted || !IsBlank(*p)); ++p) {
        if (*p == '"') {
            quoted = !quoted;
        } else {
            program += *p;
        }
    }
    arguments.push_back(program);

    for (;;) {
        while (IsBlank(*p)) ++p;
        if (!*p) break;
        std::string argument;
        quoted = false;
        for (;;) {
            size_t backslashes = 0;
            while (*p == '\\') {
                ++p;
                ++backslashes;
            }
            bool literal = true;
            if (*p == '"') {
                if (backslashes % 2 == 0) {
                    if (quoted && p[1] == '"') {
                        ++p;  // "" inside quotes: one literal quote
                    } else {
                        literal = false;
                        quoted = !quoted;
                    }
                }
                backslashes /= 2;
            }
            argument.append(backslashes, '\\');
            if (!*p || (!quoted && IsBlank(*p))) break;
            if (literal) argument += *p;
            ++p;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace kvposix
