// CommandLine.h -- splitting a Windows command line into arguments.
#pragma once

#include <string>
#include <vector>

namespace kvposix {

// The Microsoft C runtime's rules: arguments are separated by spaces and tabs; double quotes
// group, and are removed; inside quotes, "" is one literal quote. Backslashes are literal
// unless they precede a quote: 2n of them then give n and the quote groups, 2n+1 give n and a
// literal quote. The first argument (the program) is simpler: quotes group and vanish, and
// backslashes are always literal.
std::vector<std::string> SplitCommandLine(const char* commandLine);

}  // namespace kvposix
