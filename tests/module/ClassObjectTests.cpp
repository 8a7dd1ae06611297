// ClassObjectTests.cpp -- the module's class object: one Listener per process, no aggregation, unload rules, proxy/stub class.
#include <winsock2.h>

#include "ModuleTestSupport.h"

#include <string.h>

#include <thread>

#ifndef _WIN32
#include <dlfcn.h>
#endif

using namespace kvtest;

namespace {

// A stand-in for a controlling outer object; aggregation must be refused before it is touched.
class FakeOuter : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        ++calls;
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++calls); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++calls); }
    int calls = 0;
};

IUnknown* CreateListener(IClassFactory* factory) {
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)));
    return object;
}

// DllCanUnloadNow after waiting for whatever the last Stop left running (a handler thread holds
// a module lock until it ends).
HRESULT CanUnloadSoon(ModuleEntryPoints& module) {
    DWORD start = GetTickCount();
    while (module.canUnloadNow() != S_OK && GetTickCount() - start < 10000) Sleep(20);
    return module.canUnloadNow();
}

// Loads the module and starts its Listener, as a client that holds only the listener; 0, or the
// step that failed (10 to 13).
int LoadAndStart(ModuleEntryPoints& module, IEventListener** listener, unsigned short* port) {
    if (!module.Load(BuiltModulePath())) return 10;
    IClassFactory* factory = nullptr;
    if (module.getClassObject(CLSID_Listener, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return 11;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IEventListener, reinterpret_cast<void**>(listener));
    factory->Release();
    if (hr != S_OK) return 12;
    BSTR info = nullptr;
    if ((*listener)->Start(&info) != S_OK) return 13;
    if (port) *port = static_cast<unsigned short>(wcstol(info, nullptr, 10));
    SysFreeString(info);
    return 0;
}

std::string TextOf(BSTR text) {
    std::string out;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
    return out;
}

}  // namespace

// Every creation, from any thread, returns the one object of the process.
TEST(ClassObject, EveryCreationReturnsTheSameObject) {
    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    IUnknown* first = CreateListener(factory);
    IUnknown* second = CreateListener(factory);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);

    IUnknown* fromThread = nullptr;
    std::thread other([&] {
        IClassFactory* again = ListenerFactory();
        if (!again) return;
        again->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&fromThread));
        again->Release();
    });
    other.join();
    EXPECT_EQ(first, fromThread);

    // Asked for the interface, it is still the same object.
    IEventListener* listener = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEventListener, reinterpret_cast<void**>(&listener)));
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, listener->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(first, identity);

    // The module keeps one class object too.
    IClassFactory* sameFactory = ListenerFactory();
    EXPECT_EQ(factory, sameFactory);

    for (IUnknown* object : {first, second, fromThread, identity}) {
        if (object) object->Release();
    }
    listener->Release();
    sameFactory->Release();
    factory->Release();
}

// Aggregation is refused and creates nothing; the refusal is not remembered as a failure.
TEST(ClassObject, RefusesAggregation) {
    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    FakeOuter outer;
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, outer.calls);
    IUnknown* plain = CreateListener(factory);
    EXPECT_NE(nullptr, plain);
    if (plain) plain->Release();
    factory->Release();
}

KV_TEST_CHILD(aggregation_first) {
    ModuleEntryPoints module;
    if (!module.Load(BuiltModulePath())) return 10;
    IClassFactory* factory = nullptr;
    if (module.getClassObject(CLSID_Listener, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) return 11;
    FakeOuter outer;
    void* object = reinterpret_cast<void*>(0x1);
    HRESULT hr = factory->CreateInstance(&outer, IID_IUnknown, &object);
    if (hr != CLASS_E_NOAGGREGATION) return 12;
    if (object != nullptr || outer.calls != 0) return 13;
    // The first real request afterwards still gets an object.
    IUnknown* plain = nullptr;
    if (factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&plain)) != S_OK || !plain) return 14;
    plain->Release();
    factory->Release();
    module.Keep();
    return 0;
}

// Aggregation is refused even as the very first request of a process.
TEST(ClassObject, RefusesAggregationAsFirstRequest) {
    EXPECT_EQ(0u, RunChild("aggregation_first", ""));
}

// Null out pointers and unknown classes or interfaces fail with COM's codes.
TEST(ClassObject, BadRequestsFail) {
    ModuleEntryPoints& module = SharedModule();
    ASSERT_NE(nullptr, module.getClassObject);
    EXPECT_EQ(E_POINTER, module.getClassObject(CLSID_Listener, IID_IClassFactory, nullptr));
    EXPECT_EQ(E_POINTER, module.getClassObject(IID_IEventListener, IID_IUnknown, nullptr));

    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, module.getClassObject(LIBID_EventListenerLib, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);

    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, module.getClassObject(CLSID_Listener, IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);

    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    factory->Release();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

// The module may unload exactly while no client holds the class object or the Listener and no
// listener thread runs, and the Listener outlives its clients: a running listener is found
// again by the next client.
TEST(Module, CanUnloadNowFollowsClients) {
    ModuleEntryPoints& module = SharedModule();
    ASSERT_EQ(S_OK, CanUnloadSoon(module));

    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_FALSE, module.canUnloadNow());
    IEventListener* listener = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEventListener, reinterpret_cast<void**>(&listener)));
    factory->Release();
    EXPECT_EQ(S_FALSE, module.canUnloadNow()) << "a client holds the Listener";

    BSTR port = nullptr;
    ASSERT_EQ(S_OK, listener->Start(&port));
    std::string firstPort = TextOf(port);
    SysFreeString(port);
    listener->Release();
    EXPECT_EQ(S_FALSE, module.canUnloadNow()) << "no client holds anything, but the listener thread runs";

    // The object was not destroyed: the next client finds it started, on the same port.
    factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEventListener, reinterpret_cast<void**>(&listener)));
    factory->Release();
    port = nullptr;
    EXPECT_EQ(S_OK, listener->Start(&port));
    EXPECT_EQ(firstPort, TextOf(port));
    SysFreeString(port);
    EXPECT_EQ(S_OK, listener->Stop());
    listener->Release();
    EXPECT_EQ(S_OK, CanUnloadSoon(module));
}

// LockServer(TRUE) keeps the module loaded until the matching LockServer(FALSE).
TEST(Module, LockServerHoldsTheModule) {
    ModuleEntryPoints& module = SharedModule();
    ASSERT_EQ(S_OK, CanUnloadSoon(module));
    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    EXPECT_EQ(S_FALSE, module.canUnloadNow());

    factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, module.canUnloadNow()) << "the factory itself is still held";
    factory->Release();
    EXPECT_EQ(S_OK, module.canUnloadNow());
}

#ifdef _WIN32
// The IID of IEventListener names the module's proxy/stub class, whose factory builds stubs.
TEST(ProxyStub, ServedUnderTheInterfaceIid) {
    // Stubs live in apartments.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ModuleEntryPoints& module = SharedModule();
    ASSERT_EQ(S_OK, CanUnloadSoon(module));
    IPSFactoryBuffer* psFactory = nullptr;
    ASSERT_EQ(S_OK, module.getClassObject(IID_IEventListener, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&psFactory)));
    ASSERT_NE(nullptr, psFactory);
    EXPECT_EQ(S_FALSE, module.canUnloadNow()) << "the proxy/stub factory is held";

    IClassFactory* factory = ListenerFactory();
    ASSERT_NE(nullptr, factory);
    IUnknown* object = CreateListener(factory);
    factory->Release();
    ASSERT_NE(nullptr, object);
    IRpcStubBuffer* stub = nullptr;
    EXPECT_EQ(S_OK, psFactory->CreateStub(IID_IEventListener, object, &stub));
    EXPECT_NE(nullptr, stub);
    if (stub) stub->Release();
    object->Release();
    psFactory->Release();
    EXPECT_EQ(S_OK, CanUnloadSoon(module));
    CoUninitialize();
}
#else
// The POSIX build has no marshalling: the proxy/stub class honestly does not exist.
TEST(ProxyStub, NotAvailableOnPosix) {
    ModuleEntryPoints& module = SharedModule();
    ASSERT_NE(nullptr, module.getClassObject);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, module.getClassObject(IID_IEventListener, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
}
#endif

KV_TEST_CHILD(exit_with_running_listener) {
    ModuleEntryPoints module;
    IEventListener* listener = nullptr;
    if (int failed = LoadAndStart(module, &listener, nullptr)) return failed;
    listener->Release();
    // No Stop and no FreeLibrary: the process ends with the listener running, and the module's
    // teardown at exit releases (and so stops) it.
    module.Keep();
    return 0;
}

// A process that ends with the listener still running ends cleanly and promptly, everything freed.
TEST(Module, ProcessExitWithRunningListener) {
    ScopedTempDir dir;
    std::string log = dir.file("listener.log");
    ASSERT_TRUE(SetMachineString("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener", "file," + log + ",5"));
    DWORD start = GetTickCount();
    EXPECT_EQ(0u, RunChild("exit_with_running_listener", "", 30000));
    EXPECT_LT(GetTickCount() - start, 20000u);
    DeleteMachineValue("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener");
    std::string text = ReadWholeFile(log);
#ifdef _WIN32
    // Windows ends the other threads before the module hears of the exit, maybe while they held
    // its locks: nothing is released or stopped then, and only the log is closed.
    EXPECT_EQ(std::string::npos, text.find("Entering FinalRelease of EVENT LISTENER")) << text;
    EXPECT_NE(std::string::npos, text.find("---End Logging---")) << "the log was closed at exit\n" << text;
#else
    EXPECT_NE(std::string::npos, text.find("Entering FinalRelease of EVENT LISTENER")) << text;
    size_t release = text.find("Entering FinalRelease of EVENT LISTENER");
    if (release == std::string::npos) release = 0;
    EXPECT_NE(std::string::npos, text.find("---End Logging---", release)) << "the final release ended the log";
    // Windows ends the other threads before the module hears of the exit; here they still run,
    // and the final release stops the listener: its thread ends, so its object is destroyed.
    EXPECT_NE(std::string::npos, text.find("EXIT: EventListenerThread::Stop", release)) << "the teardown stopped the listener";
    EXPECT_NE(std::string::npos, text.find("EXIT: EventListenerThread::~EventListenerThread", release))
        << "the listener's thread ended and its object went";
#endif
}

KV_TEST_CHILD(unload_after_use) {
    ModuleEntryPoints module;
    IEventListener* listener = nullptr;
    if (int failed = LoadAndStart(module, &listener, nullptr)) return failed;
    if (listener->Stop() != S_OK) return 14;
    listener->Release();
    DWORD start = GetTickCount();
    while (module.canUnloadNow() != S_OK) {
        if (GetTickCount() - start > 10000) return 15;
        Sleep(20);
    }
    // FreeLibrary runs the teardown on Windows: the class object and the Listener are released
    // in it. Linux never unmaps the module, and runs it at exit.
    module.Free();
    return 0;
}

// Unloading the module after its clients are gone tears it down without trouble.
TEST(Module, UnloadsAfterUse) {
    EXPECT_EQ(0u, RunChild("unload_after_use", "", 30000));
}

KV_TEST_CHILD(free_library_with_running_listener) {
    ModuleEntryPoints module;
    IEventListener* listener = nullptr;
    unsigned short port = 0;
    if (int failed = LoadAndStart(module, &listener, &port)) return failed;
    listener->Release();
    if (module.canUnloadNow() != S_FALSE) return 14;
    // A client that frees the module all the same: it must neither hang nor crash.
    module.Free();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 15;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool answered = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    closesocket(s);
#ifdef _WIN32
    // The running listener thread keeps the module loaded and goes on listening.
    if (!GetModuleHandleA(ModuleFileName())) return 16;
    if (!answered) return 17;
#else
    // dlclose never unmaps the module: the listener goes on, and the teardown comes at exit.
    void* still = dlopen(BuiltModulePath().c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!still) return 16;
    dlclose(still);
    if (!answered) return 17;
#endif
    WSACleanup();
    return 0;
}

// FreeLibrary while the listener runs, after every client let go without Stop: the process
// goes on and ends cleanly.
TEST(Module, FreeLibraryWithRunningListener) {
    ScopedTempDir dir;
    std::string log = dir.file("listener.log");
    ASSERT_TRUE(SetMachineString("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener", "file," + log + ",5"));
    EXPECT_EQ(0u, RunChild("free_library_with_running_listener", "", 60000));
    DeleteMachineValue("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener");
    std::string text = ReadWholeFile(log);
#ifdef _WIN32
    EXPECT_EQ(std::string::npos, text.find("ENTER EventListenerThread::Stop")) << "nothing stopped under the loader lock\n" << text;
#endif
    EXPECT_NE(std::string::npos, text.find("---End Logging---")) << text;
}

#ifdef _WIN32
KV_TEST_CHILD(com_unloads_after_stop) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 10;
    IEventListener* listener = nullptr;
    if (CoCreateInstance(CLSID_Listener, nullptr, CLSCTX_INPROC_SERVER, IID_IEventListener,
                         reinterpret_cast<void**>(&listener)) != S_OK)
        return 11;
    BSTR info = nullptr;
    if (listener->Start(&info) != S_OK) return 12;
    SysFreeString(info);
    listener->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    if (!GetModuleHandleA(ModuleFileName())) return 13;  // unloaded under the running listener

    if (CoCreateInstance(CLSID_Listener, nullptr, CLSCTX_INPROC_SERVER, IID_IEventListener,
                         reinterpret_cast<void**>(&listener)) != S_OK)
        return 14;
    if (listener->Stop() != S_OK) return 15;
    listener->Release();
    // The stop's wake-up handler may still be finishing; it holds the module until it ends.
    DWORD start = GetTickCount();
    for (;;) {
        CoFreeUnusedLibrariesEx(0, 0);
        if (!GetModuleHandleA(ModuleFileName())) break;
        if (GetTickCount() - start > 10000) return 16;
        Sleep(20);
    }
    CoUninitialize();
    return 0;
}

// COM keeps the module while its listener runs, and unloads it once the listener is stopped
// and released.
TEST(Module, ComUnloadsOnlyAfterStop) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    EXPECT_EQ(0u, RunChild("com_unloads_after_stop", "", 60000));
    SharedModule().unregisterServer();
}
#endif

#ifndef _WIN32
namespace {

const char kTestManagerKey[] = "SOFTWARE\\Korvane\\KVLumen\\TestEventManager";

SOCKET ConnectLoopback(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    return s;
}

// Calls the test event manager's DllRegisterServer or DllUnregisterServer.
HRESULT RegisterTestManager(bool registering) {
    std::string self = SelfPath();
    HMODULE module = LoadLibraryA((self.substr(0, self.find_last_of('/') + 1) + "KVEvTest.so").c_str());
    if (!module) return E_FAIL;
    auto entry = reinterpret_cast<ModuleFn>(
        reinterpret_cast<void*>(GetProcAddress(module, registering ? "DllRegisterServer" : "DllUnregisterServer")));
    HRESULT hr = entry ? entry() : E_FAIL;
    FreeLibrary(module);
    return hr;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

KV_TEST_CHILD(exit_with_printers) {
    // argv: silent printers, the component's log
    int silentCount = atoi(argv[0]);
    std::string log = argv[1];
    ModuleEntryPoints module;
    IEventListener* listener = nullptr;
    unsigned short number = 0;
    if (int failed = LoadAndStart(module, &listener, &number)) return failed;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    for (int i = 0; i < silentCount; ++i)
        if (ConnectLoopback(number) == INVALID_SOCKET) return 14;
    // A printer whose message is answered and then delivered slowly (the manager's delay).
    SOCKET printer = ConnectLoopback(number);
    const char request[] = "POST / HTTP/1.1\r\nHost: p\r\nContent-Length: 5\r\n\r\nHELLO";
    if (send(printer, request, sizeof(request) - 1, 0) != int(sizeof(request) - 1)) return 15;
    char answer[16] = {};
    if (recv(printer, answer, 15, MSG_WAITALL) != 15 || strcmp(answer, "HTTP/1.1 200 OK") != 0) return 16;
    DWORD start = GetTickCount();
    while (Count(ReadWholeFile(log), "ENTER HandlingProc") < size_t(silentCount) + 1) {
        if (GetTickCount() - start > 20000) return 17;
        Sleep(20);
    }
    // No Stop, no Release of the module: the process ends with all of them at work.
    listener->Release();
    module.Keep();
    return 0;
}

// At a process exit, handlers still waiting for request bytes end at once without reply or
// delivery, a message that got its 200 is still delivered, and the handler threads let their
// event manager go before the process is gone.
TEST(Module, ProcessExitEndsWaitingHandlersAndKeepsDeliveries) {
    ScopedTempDir dir;
    ScopedTempDir record;
    std::string log = dir.file("listener.log");
    ASSERT_TRUE(SetMachineString("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener", "file," + log + ",5"));
    ASSERT_TRUE(SetMachineString(kTestManagerKey, "record", record.path()));
    ASSERT_TRUE(SetMachineDword(kTestManagerKey, "delay", 1500));
    ASSERT_EQ(S_OK, RegisterTestManager(true));
    EXPECT_EQ(0u, RunChild("exit_with_printers", "20 " + log, 60000));
    EXPECT_EQ("HELLO", ReadWholeFile(record.file("1.msg")));
    EXPECT_TRUE(FileExists(record.file("1.made")));
    EXPECT_FALSE(FileExists(record.file("2.made")));
    EXPECT_TRUE(FileExists(record.file("1.released"))) << "the event manager was never released";
    std::string text = ReadWholeFile(log);
    // The twenty silent printers, and the teardown's own stop may add its wake-up connection.
    size_t ended = Count(text, ": 0 bytes, none, ended at exit, ");
    EXPECT_GE(ended, 20u) << text;
    EXPECT_LE(ended, 21u) << text;
    EXPECT_EQ(1u, Count(text, " bytes, length, delivered, "));
    EXPECT_EQ(std::string::npos, text.find("no complete request within")) << "none waited for its time-out";
    RegisterTestManager(false);
    DeleteMachineKey(kTestManagerKey);
    DeleteMachineValue("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener");
}
#endif
