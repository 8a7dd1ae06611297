// SpoolEventManager.h -- the default event manager: every delivered message becomes a file in a spool folder.
#pragma once

#include <string>

#include "IEventManagerEx.h"
#include "InprocServer.h"

// {5E1C3A3B-7A9D-4C61-9B8E-2F4D6A0C9E11}
extern "C" const CLSID CLSID_SpoolEventManager;

// Writes each message (narrowed back unit by unit to the bytes it came from, up to its first
// NUL) to the spool folder named by the REG_SZ value "spool" of
// HKLM\SOFTWARE\Korvane\KVLumen\EventManager. A message is written under a temporary name and
// renamed, so a reader never sees half of one; names sort in arrival order and never collide,
// across threads and processes alike.
class CSpoolEventManager : public IEventManagerEx {
public:
    static HRESULT Create(REFIID iid, void** object);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override;

    // Stores `bytes` in `folder` as the next message; the final file name, or empty on failure.
    static std::string SpoolMessage(const std::string& folder, const std::string& bytes);

private:
    // Live objects keep the module loaded.
    CSpoolEventManager() { ++gInprocServerLocks; }
    virtual ~CSpoolEventManager() { --gInprocServerLocks; }
    LONG mRefCount = 1;
};
