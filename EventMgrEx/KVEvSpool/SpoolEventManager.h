// SpoolEventManager.h -- the default event manager: every delivered message becomes a file in a spool folder.
#pragma once

#include "EventManagerObject.h"

// {5E1C3A3B-7A9D-4C61-9B8E-2F4D6A0C9E11}
extern "C" const CLSID CLSID_SpoolEventManager;

// Writes each message (narrowed back unit by unit to the bytes it came from, up to its first
// NUL) to the spool folder named by the REG_SZ value "spool" of
// HKLM\SOFTWARE\Korvane\KVLumen\EventManager, through SpoolFolder: durable before Deliver
// returns S_OK, named in arrival order. Deliver fails, and the log says why at level 1, whenever
// the message is not stored. The module logs under the tag "KVEvSpool".
class CSpoolEventManager : public EventManagerObject<CSpoolEventManager> {
public:
    static constexpr bool kReportsStatus = true;
    static EventManagerModule& Module();

    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override;
    // Ready when the folder is set, exists and takes a new file; says how many events wait there.
    HRESULT STDMETHODCALLTYPE GetStatus(VARIANT_BOOL* ready, BSTR* summary, BSTR* metrics) override;

private:
    friend class EventManagerObject<CSpoolEventManager>;
    CSpoolEventManager() = default;
};
