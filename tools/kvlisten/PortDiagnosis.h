// PortDiagnosis.h -- whether the listener got a configured port, and if not, why each configured one failed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The listener takes the first usable entry of its port list and silently falls back to a port
// the system chooses when none works. The host reads the same list, recognises the fallback from
// the listen information, and explains each entry to the administrator.
class PortDiagnosis {
public:
    // Reads the list the listener uses: `override` (kvlisten --port) when it is not empty, else
    // HKLM\SOFTWARE\Korvane\KVLumen\Listener "ports" the way the listener reads it.
    void ReadConfiguration(const std::vector<std::string>& override);

    // True when the list names at least one port, or the value exists but cannot be read as a
    // list (a REG_DWORD, say): either way the administrator meant a port. False for a value that
    // is missing or empty, whose fallback no printer would find either.
    bool PortsConfigured() const { return !mEntries.empty() || !mValueProblem.empty(); }

    // Where the list comes from, for the messages: the registry value's name, or "--port".
    const std::string& Setting() const { return mSetting; }

    // Why no port is configured: "is missing", "is empty", ...
    const std::string& Absence() const { return mAbsence; }

    // True when `listenInfo` (what Start returned) is one of the configured entries, or an entry
    // asks for a port the system chooses.
    bool ListensOnConfiguredPort(const std::string& listenInfo) const;

    // One line per reason: the value's own problem, or for each entry why it cannot be used on
    // the addresses of `nodes` (the host name, or the numeric addresses of --listen) now.
    std::vector<std::string> Explain(const std::vector<std::string>& nodes) const;

    // The list as the administrator wrote it, for the messages.
    const std::string& Text() const { return mText; }

private:
    std::string ExplainEntry(const std::vector<std::string>& nodes, const std::string& entry) const;

    std::vector<std::string> mEntries;
    std::string mText;
    std::string mSetting;
    std::string mAbsence;
    std::string mValueProblem;
};
