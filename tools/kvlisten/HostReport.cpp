// HostReport.cpp -- the event manager the listener delivers to, and the listener's summary line, as the host reports them.
#include "HostReport.h"

#include "ByteText.h"
#include "IEventManagerEx.h"
#include "IEventManagerStatus.h"
#include "IListenerStatus.h"
#include "ListenerHost.h"
#include "PlatformServices.h"
#include "UniqueHandle.h"

KV_INTERFACE_ID(IEventManagerEx, IID_IEventManagerEx);

namespace {

std::string ClassText(const CLSID& clsid) {
    WCHAR wide[64] = {};
    StringFromGUID2(clsid, wide, 64);
    std::string text;
    for (const WCHAR* p = wide; *p; ++p) text += static_cast<char>(*p);
    return text;
}

// Where the class's in-process server lives, as registered.
std::string ModuleOf(const std::string& clsidText) {
    std::string key = "CLSID\\" + clsidText + "\\InprocServer32";
    char path[1024] = {};
    DWORD size = sizeof(path);
    UniqueRegKey handle;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS ||
        RegQueryValueExA(handle.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size) != ERROR_SUCCESS)
        return "no in-process module registered";
    return path;
}

}  // namespace

void HostReport::SayEventManager() {
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromProgID(KV_EVENT_MANAGER_PROGID, &clsid))) {
        ListenerHost::Say("warning: no event manager is registered as KVLUMEN.EventManagerEx: printers are answered, "
                          "their events are not stored (register one with kvregsvr, e.g. KVEvSpool)");
        return;
    }
    std::string name = ClassText(clsid);
    std::string module = ModuleOf(name);
    CPComPtr<IEventManagerEx> manager;
    HRESULT hr = PlatformServices::CreateInstance(manager, KV_EVENT_MANAGER_PROGID, nullptr);
    if (FAILED(hr)) {
        ListenerHost::Say("warning: event manager KVLUMEN.EventManagerEx is %s (%s) and cannot be created (hr 0x%08X): "
                          "events are not stored",
                          name.c_str(), module.c_str(), static_cast<unsigned>(hr));
        return;
    }
    IEventManagerStatus* status = nullptr;
    VARIANT_BOOL ready = VARIANT_TRUE;
    UniqueBstr summary;
    UniqueBstr metrics;
    if (FAILED(manager->QueryInterface(IID_IEventManagerStatus, reinterpret_cast<void**>(&status))) || !status ||
        FAILED(status->GetStatus(&ready, summary.put(), metrics.put()))) {
        if (status) status->Release();
        ListenerHost::Say("event manager: KVLUMEN.EventManagerEx is %s (%s); it does not say whether it is ready",
                          name.c_str(), module.c_str());
        return;
    }
    status->Release();
    ListenerHost::Say("%sevent manager: KVLUMEN.EventManagerEx is %s (%s); %s: %s", ready ? "" : "warning: ", name.c_str(),
                      module.c_str(), ready ? "ready" : "NOT ready", NarrowBytes(summary.get()).c_str());
}

std::string HostReport::Summary(IUnknown* listener) {
    if (!listener) return std::string();
    IListenerStatus* status = nullptr;
    if (FAILED(listener->QueryInterface(IID_IListenerStatus, reinterpret_cast<void**>(&status))) || !status)
        return std::string();
    UniqueBstr line;
    HRESULT hr = status->GetSummary(line.put());
    status->Release();
    return SUCCEEDED(hr) ? NarrowBytes(line.get()) : std::string();
}
