// PortDiagnosis.h -- whether the listener got a configured port, and if not, why each configured one failed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The listener takes the first usable entry of the "ports" list and silently falls back to a
// port the system chooses when none works. The host reads the same value, recognises the fallback
// from the listen information, and explains each entry to the administrator.
class PortDiagnosis {
public:
    // Reads HKLM\SOFTWARE\Korvane\KVLumen\Listener "ports" the way the listener does.
    void ReadConfiguration();

    // True when the value names at least one port, or exists but cannot be read as a list (a
    // REG_DWORD, say): either way the administrator meant a port.
    bool PortsConfigured() const { return !mEntries.empty() || !mValueProblem.empty(); }

    // True when `listenInfo` (what Start returned) is one of the configured entries, or an entry
    // asks for a port the system chooses.
    bool ListensOnConfiguredPort(const std::string& listenInfo) const;

    // One line per reason: the value's own problem, or for each entry why it cannot be used on
    // the addresses of `hostName` now.
    std::vector<std::string> Explain(const char* hostName) const;

    // The value as the administrator wrote it, for the messages.
    const std::string& Text() const { return mText; }

private:
    std::string ExplainEntry(const char* hostName, const std::string& entry) const;

    std::vector<std::string> mEntries;
    std::string mText;
    std::string mValueProblem;
};
