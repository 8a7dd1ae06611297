// DeliveryTests.cpp -- from a client's request to the event manager: response bytes, framing, widening, failures.
#include "ListenerTestSupport.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <utility>
#include <vector>

#include "CannedResponse.h"
#include "ConnectionService.h"
#include "IEventManagerEx.h"
#include "PlatformServices.h"
#include "ScopedSocket.h"

using namespace kvtest;

namespace {

const char kTestManagerKey[] = "SOFTWARE\\Korvane\\KVLumen\\TestEventManager";
const char kForceKey[] = "SOFTWARE\\Korvane\\KVLumen\\ForceToOutOfProc";

std::string ModuleNextToTests(const std::string& name) {
    std::string self = SelfPath();
    size_t slash = self.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? std::string(".") : self.substr(0, slash + 1);
#ifdef _WIN32
    return folder + name + ".dll";
#else
    return folder + name + ".so";
#endif
}

std::string ProgramNextToTests(const std::string& name) {
    std::string self = SelfPath();
    size_t slash = self.find_last_of("/\\");
    return self.substr(0, slash + 1) + name + ".exe";
}

// Calls a module's DllRegisterServer or DllUnregisterServer.
HRESULT CallRegistration(const std::string& module, bool registering) {
    HMODULE handle = LoadLibraryA(module.c_str());
    if (!handle) return HRESULT_FROM_WIN32(GetLastError());
    typedef HRESULT(STDAPICALLTYPE * Entry)();
    auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(handle, registering ? "DllRegisterServer" : "DllUnregisterServer")));
    HRESULT hr = entry ? entry() : E_FAIL;
    FreeLibrary(handle);
    return hr;
}

class DeliveryTest : public ListenerTest {
protected:
    void SetUp() override {
        ListenerTest::SetUp();
        if (IsSkipped()) return;
        DeleteMachineKey(kForceKey);
        DeleteMachineKey(kTestManagerKey);
        ASSERT_TRUE(SetMachineString(kTestManagerKey, "record", mRecord.path()));
        ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), true));
        mListener = NewListener();
        BSTR info = nullptr;
        ASSERT_EQ(S_OK, mListener->Start(&info));
        mPort = static_cast<unsigned short>(wcstol(info, nullptr, 10));
        SysFreeString(info);
    }
    void TearDown() override {
        if (mListener) mListener->Stop();
        CallRegistration(ModuleNextToTests("KVEvTest"), false);
        DeleteMachineKey(kTestManagerKey);
        DeleteMachineKey(kForceKey);
        ListenerTest::TearDown();
    }

    // Sends `request`, half-closes, and returns everything the listener answered.
    std::string Exchange(const std::string& request, bool halfClose = true) {
        SOCKET s = ConnectLoopback(mPort);
        EXPECT_NE(INVALID_SOCKET, s);
        if (s == INVALID_SOCKET) return std::string();
        EXPECT_TRUE(SendAll(s, request));
        if (halfClose) shutdown(s, SD_SEND);
        std::string answer = ReceiveAll(s);
        closesocket(s);
        return answer;
    }
    // Waits for delivery n and returns its message bytes; `meta` receives its description.
    std::string Delivered(int n, std::string* meta = nullptr) {
        std::string metaPath = mRecord.file(std::to_string(n) + ".meta");
        EXPECT_TRUE(WaitFor([&] { return FileExists(metaPath); })) << "delivery " << n << " never came";
        if (meta) *meta = ReadWholeFile(metaPath);
        return ReadWholeFile(mRecord.file(std::to_string(n) + ".msg"));
    }
    // Waits until `count` connections have ended: each one's last act is its outcome's line.
    bool HandlersFinished(size_t count) {
        return WaitFor([&] { return CountOf(Log(), "HandlingProc : request from ") >= count; });
    }
    // Sets a limit and restarts the listener, which reads its limits as it starts.
    void RestartWith(const std::vector<std::pair<const char*, DWORD>>& limits) {
        for (const auto& limit : limits) ASSERT_TRUE(SetMachineDword(kListenerKey, limit.first, limit.second));
        ASSERT_EQ(S_OK, mListener->Stop());
        BSTR info = nullptr;
        ASSERT_EQ(S_OK, mListener->Start(&info));
        mPort = static_cast<unsigned short>(wcstol(info, nullptr, 10));
        SysFreeString(info);
    }

    ScopedTempDir mRecord;
    CListener* mListener = nullptr;
    unsigned short mPort = 0;
};

// What a thread that asked for a 256 KiB stack gets at most: Wine gives every thread 1 MiB at
// least, and ThreadSanitizer enlarges small stacks for its own thread-local state.
unsigned long SmallStackAsGiven() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll && GetProcAddress(ntdll, "wine_get_version")) return 1024 * 1024;
#elif defined(__SANITIZE_THREAD__)
    return 1024 * 1024;
#endif
    return 256 * 1024;
}

std::string LengthRequest(const std::string& body) {
    return "POST /events HTTP/1.1\r\nHost: printer\r\nContent-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST_F(DeliveryTest, LengthModeAnswersThenDelivers) {
    // A request framed by its length gets the 628-byte response, then its body is delivered on a
    // handler thread with a small stack; one line at level 4 sums the request up.
    std::string body = "<SOAP-ENV:Envelope><Deliver>one</Deliver></SOAP-ENV:Envelope>";
    std::string request = LengthRequest(body);
    std::string answer = Exchange(request, false);
    EXPECT_EQ(628u, answer.size());
    EXPECT_EQ(std::string(kCannedResponse), answer);
    std::string meta;
    EXPECT_EQ(body, Delivered(1, &meta));
    EXPECT_NE(std::string::npos, meta.find("null=0"));
    EXPECT_NE(std::string::npos, meta.find("apartment=sta")) << meta;
    unsigned long stack = strtoul(meta.c_str() + meta.find("stack=") + 6, nullptr, 10);
    EXPECT_GT(stack, 0u) << meta;
    EXPECT_LE(stack, SmallStackAsGiven()) << meta;
    EXPECT_TRUE(HandlersFinished(1));
    std::string log = Log();
    EXPECT_LT(log.find("HandlingProc : Event Manager Deliver succeeded"), std::string::npos);
    std::string line = AtLevel(4, "HandlingProc : request from 127.0.0.1:");
    size_t at = log.find(line);
    ASSERT_NE(std::string::npos, at) << log;
    std::string summary = log.substr(at, log.find('\n', at) - at);
    EXPECT_NE(std::string::npos, summary.find(": " + std::to_string(request.size()) + " bytes, length, delivered, "))
        << summary;
}

TEST_F(DeliveryTest, MessagesOfManyMiBArriveWhole) {
    // A body of 36 MiB (every byte value but NUL), framed by its length and in chunks of 1 MiB,
    // reaches the event manager whole: its text and its wide copy are past the size from which
    // their memory is mapped for them alone.
    RestartWith({{"maxRequestKB", 65536}});
    std::string body(36u << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(1 + i % 255);
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest(body), false));
    EXPECT_TRUE(Delivered(1) == body) << "the length-framed body arrived changed";
    std::string chunked = "POST / HTTP/1.1\r\nHost: p\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 1u << 20) chunked += "100000\r\n" + body.substr(at, 1u << 20) + "\r\n";
    chunked += "0\r\n\r\n";
    EXPECT_EQ(std::string(kCannedResponse), Exchange(chunked, false));
    EXPECT_TRUE(Delivered(2) == body) << "the chunked body arrived changed";
}

TEST_F(DeliveryTest, ChunkedModeJoinsChunks) {
    // Chunks with an extension and without the final empty line arrive joined.
    std::string request =
        "POST /events HTTP/1.1\r\nHost: printer\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nHELLO\r\n6;ext=1\r\n WORLD\r\n3\r\n!!!\r\n0\r\n";
    EXPECT_EQ(std::string(kCannedResponse), Exchange(request, false));
    EXPECT_EQ("HELLO WORLD!!!", Delivered(1));
}

TEST_F(DeliveryTest, HighBytesArriveUnchanged) {
    // Bytes of 0x80 and above reach the event manager as units of the same values.
    std::string body = "caf\xc3\xa9 \xe2\x82\xac \xff\x80";
    Exchange(LengthRequest(body));
    std::string meta;
    EXPECT_EQ(body, Delivered(1, &meta));
    EXPECT_NE(std::string::npos, meta.find("highest=255")) << meta;
}

TEST_F(DeliveryTest, EmbeddedNulTravelsWithTheExactLength) {
    // A body with a NUL byte arrives whole, its string as long as the body: a manager that reads
    // up to the first NUL sees what comes before it.
    std::string body("before\0after", 12);
    Exchange(LengthRequest(body));
    std::string meta;
    EXPECT_EQ("before", Delivered(1, &meta));
    EXPECT_NE(std::string::npos, meta.find("length=12 "));
}

TEST_F(DeliveryTest, WakeUpTextGetsNoResponse) {
    // The wake-up message alone is acknowledged, not answered, and nothing is delivered.
    std::string wakeUp("ShutDownEvent", 14);
    EXPECT_EQ("", Exchange(wakeUp, false));
    EXPECT_TRUE(HandlersFinished(1));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
    EXPECT_NE(std::string::npos, Log().find("HandlingProc : Returning...ShutDown event occurred"));
}

TEST_F(DeliveryTest, PeerClosingBeforeAnyByteIsNoEvent) {
    // A connection closed before it sent a byte (a port probe) gets no answer and delivers nothing.
    EXPECT_EQ("", Exchange(""));
    EXPECT_TRUE(HandlersFinished(1));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
    EXPECT_NE(std::string::npos, Log().find(": 0 bytes, none, closed before any byte, "));
}

TEST_F(DeliveryTest, GetAndHeadAreAnsweredNeverDelivered) {
    // A monitor's GET gets a line naming the listener and its port, then what health says; HEAD
    // the same header section alone.
    std::string got = Exchange("GET / HTTP/1.1\r\nHost: p\r\n\r\n", false);
    EXPECT_EQ(0u, got.find("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n")) << got;
    std::string body = got.substr(got.find("\r\n\r\n") + 4);
    EXPECT_EQ(0u, body.find("KVLUMEN.Listener listening on port " + std::to_string(mPort) + "\r\nok: ")) << body;
    std::string head = Exchange("HEAD /health HTTP/1.1\r\nHost: p\r\nContent-Length: 5\r\n\r\n", false);
    EXPECT_EQ(got.substr(0, got.size() - body.size()), head);
    EXPECT_TRUE(HandlersFinished(2));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(" bytes, get, answered, "));
    EXPECT_NE(std::string::npos, log.find(" bytes, head, answered, "));
}

TEST_F(DeliveryTest, OversizeRequestsRefusedWith413) {
    // Over maxRequestKB, declared or once received, a request is refused and never delivered;
    // Expect: 100-continue is answered at the header section, within the limit only.
    RestartWith({{"maxRequestKB", 2}});
    const std::string refusal = RefusalResponse(413, "the request is larger than maxRequestKB allows");
    const std::string head = "POST / HTTP/1.1\r\nHost: p\r\n";  // 26 bytes, 50 with a 4-digit length
    // Declared: 50 + 1999 > 2048 is refused before the body is sent; 50 + 1998 is taken.
    EXPECT_EQ(refusal, Exchange(head + "Content-Length: 1999\r\n\r\n", false));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(head + "Content-Length: 1998\r\n\r\n" + std::string(1998, 'x'), false));
    EXPECT_EQ(std::string(1998, 'x'), Delivered(1));
    // Chunked: refused once more than 2 KiB has arrived, while the peer is still writing.
    std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
    while (chunked.size() < 8192) chunked += "10\r\n0123456789abcdef\r\n";
    EXPECT_EQ(refusal, Exchange(chunked, false));
    // Expected continuation: within the limit the client is told to go on, over it refused.
    ScopedSocket waiting(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(waiting.get(), head + "Expect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", ReceiveCount(waiting.get(), 25));
    ASSERT_TRUE(SendAll(waiting.get(), "HELLO"));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveAll(waiting.get()));
    EXPECT_EQ("HELLO", Delivered(2));
    EXPECT_EQ(refusal, Exchange(head + "Expect: 100-continue\r\nContent-Length: 99999\r\n\r\n", false));
    // One line a second says why; every request has its own outcome.
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), " refused with 413, ") == 3; }));
    EXPECT_FALSE(FileExists(mRecord.file("3.meta")));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(AtLevel(2, "HandlingProc : 127.0.0.1:")));
    EXPECT_NE(std::string::npos, log.find("sent a request of 2049 bytes, over the limit of 2 KB; refused with 413"));
}

TEST_F(DeliveryTest, IncompleteRequestsTimeOutWithoutReply) {
    // A silent peer and one that stops half-way through its headers are closed without reply
    // once requestTimeoutMs has passed since their accept; nothing is delivered.
    RestartWith({{"requestTimeoutMs", 1000}});
    ScopedSocket silent(ConnectLoopback(mPort));
    ScopedSocket half(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(half.get(), "POST / HTTP/1.1\r\nContent-Le"));
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), ", timed out, ") >= 2; }, 20000));
    EXPECT_EQ("", ReceiveAll(silent.get(), 5000));
    EXPECT_EQ("", ReceiveAll(half.get(), 5000));
    EXPECT_TRUE(ClosedByPeer(silent.get()));
    EXPECT_TRUE(ClosedByPeer(half.get()));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("sent no complete request within 1000 ms ("));
    EXPECT_NE(std::string::npos, log.find(": 0 bytes, none, timed out, "));
    EXPECT_NE(std::string::npos, log.find(": 27 bytes, none, timed out, "));
}

TEST_F(DeliveryTest, ConnectionLimitKeepsNewPrintersWaitingBriefly) {
    // At maxConnections a new printer waits, without a thread, for a handler that ends (a silent
    // peer's timeout here) and is served then; one that finds none in time is refused with 503.
    // A stop at the limit works.
    RestartWith({{"maxConnections", 2}, {"requestTimeoutMs", 1000}});
    size_t entered = CountOf(Log(), "ENTER HandlingProc");
    ScopedSocket first(ConnectLoopback(mPort));
    ScopedSocket second(ConnectLoopback(mPort));
    ASSERT_TRUE(WaitFor([&] { return CountOf(Log(), "ENTER HandlingProc") >= entered + 2; }));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("waited"), false));
    EXPECT_EQ("waited", Delivered(1));
    EXPECT_TRUE(WaitFor([&] { return Log().find(" bytes, length, delivered, ") != std::string::npos; }));
    std::string log = Log();
    size_t timedOut = log.find(", timed out, ");
    size_t delivered = log.find(" bytes, length, delivered, ");
    ASSERT_NE(std::string::npos, timedOut);
    ASSERT_NE(std::string::npos, delivered);
    EXPECT_LT(timedOut, delivered) << "the printer was served only after a handler had ended";

    // Two silent peers again, held for their second; the third waits 2 s in vain.
    RestartWith({{"maxConnections", 2}, {"requestTimeoutMs", 5000}, {"headerTimeoutMs", 5000}});
    ScopedSocket third(ConnectLoopback(mPort));
    ScopedSocket fourth(ConnectLoopback(mPort));
    std::string busy = Exchange(LengthRequest("too many"), false);
    EXPECT_EQ(0u, busy.find("HTTP/1.1 503 Service Unavailable\r\n")) << busy;
    EXPECT_NE(std::string::npos, busy.find("\r\nRetry-After: 5\r\n")) << busy;
    EXPECT_NE(std::string::npos, Log().find(" refused with 503, "));
    size_t listenersEnded = CountOf(Log(), "EventListenerThread::OnRun - Exiting");
    EXPECT_EQ(S_OK, mListener->Stop());
    EXPECT_EQ(listenersEnded + 1, CountOf(Log(), "EventListenerThread::OnRun - Exiting"));
    EXPECT_FALSE(FileExists(mRecord.file("2.meta")));
}

TEST_F(DeliveryTest, IncompleteRequestIsRefusedNeverDelivered) {
    // A body shorter than declared, or chunks without the last one, is no event: the peer that
    // closed its side part-way gets 400, and nothing is delivered.
    std::string answer = Exchange("POST / HTTP/1.1\r\nHost: p\r\nContent-Length: 9\r\n\r\nHELLO");
    EXPECT_EQ(0u, answer.find("HTTP/1.1 400 Bad Request\r\n")) << answer;
    answer = Exchange("POST / HTTP/1.1\r\nHost: p\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nHELLO\r\n");
    EXPECT_EQ(0u, answer.find("HTTP/1.1 400 Bad Request\r\n")) << answer;
    EXPECT_TRUE(HandlersFinished(2));
    EXPECT_EQ(2u, CountOf(Log(), " incomplete, "));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
}

TEST_F(DeliveryTest, FailuresOfTheEventManagerStayInTheLog) {
    // A missing event manager, a refused creation and a failed Deliver all leave the printer its 200.
    ASSERT_TRUE(SetMachineString(kTestManagerKey, "mode", "fail-deliver"));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("x")));
    EXPECT_EQ("x", Delivered(1));
    EXPECT_TRUE(HandlersFinished(1));
    EXPECT_NE(std::string::npos, Log().find("HandlingProc : Event Manager Deliver failed"));
    EXPECT_NE(std::string::npos, Log().find(AtLevel(1, "HandlingProc : Deliver failed (hr: 0x80004005) for a message of 1 bytes")));

    ASSERT_TRUE(SetMachineString(kTestManagerKey, "mode", "fail-create"));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("y")));
    EXPECT_TRUE(HandlersFinished(2));

    ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), false));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("z")));
    EXPECT_TRUE(HandlersFinished(3));
    EXPECT_EQ(2u, CountOf(Log(), "HandlingProc : Failed to create instance of EventManager"));
    EXPECT_EQ(2u, CountOf(Log(), ", not delivered, no event manager, "));
    // Failures in a row are said once a second, with their count.
    EXPECT_LE(1u, CountOf(Log(), AtLevel(1, "HandlingProc : Failed to create instance of KVLUMEN.EventManagerEx (hr: 0x")));
    EXPECT_FALSE(FileExists(mRecord.file("2.meta")));
}

TEST_F(DeliveryTest, HandlerThreadsServeInTurnAndFollowTheRegistration) {
    // Connections one after another are served by one handler thread, which keeps its event
    // manager; a manager unregistered meanwhile is not used again, a new registration is. When
    // the listener stops, the thread ends and every manager made has been let go.
    ASSERT_TRUE(WaitFor([] { return ConnectionService::Instance().Threads() == 0; })) << "threads of an earlier listener";
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("one")));
    EXPECT_EQ("one", Delivered(1));
    ASSERT_TRUE(WaitFor([] { return ConnectionService::Instance().IdleThreads() == 1; }));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("two")));
    EXPECT_EQ("two", Delivered(2));
    ASSERT_TRUE(WaitFor([] { return ConnectionService::Instance().IdleThreads() == 1; }));
    EXPECT_EQ(1, ConnectionService::Instance().Threads()) << "a second thread was made while one was idle";

    ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), false));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("unregistered")));
    EXPECT_TRUE(HandlersFinished(3));
    EXPECT_EQ(1u, CountOf(Log(), "HandlingProc : Failed to create instance of EventManager"));
    ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), true));
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("three")));
    EXPECT_EQ("three", Delivered(3));

    ASSERT_EQ(S_OK, mListener->Stop());
    EXPECT_TRUE(WaitFor([] { return ConnectionService::Instance().Threads() == 0; })) << "handler threads outlived the stop";
    size_t made = 0;
    while (FileExists(mRecord.file(std::to_string(made + 1) + ".made"))) ++made;
    EXPECT_GE(made, 2u);
    EXPECT_TRUE(FileExists(mRecord.file(std::to_string(made) + ".released")));
    EXPECT_FALSE(FileExists(mRecord.file(std::to_string(made + 1) + ".released")));
}

TEST_F(DeliveryTest, ResetPeerEndsItsHandler) {
    // A peer that resets the connection mid-request never keeps its handler alive, and nothing is
    // delivered for it.
    SOCKET s = ConnectLoopback(mPort);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(SendAll(s, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\npartial"));
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), "ENTER HandlingProc") >= 1; }));
    linger hard = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
    closesocket(s);
    EXPECT_TRUE(HandlersFinished(1));
}

TEST_F(DeliveryTest, SlowDeliveriesDoNotHoldUpOthers) {
    // While one delivery is slow, a further printer is answered: its answer comes before the
    // slow delivery has ended, which handlers taking connections one at a time could not do.
    ASSERT_TRUE(SetMachineDword(kTestManagerKey, "delay", 3000));
    ScopedSocket slow(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(slow.get(), LengthRequest("slow")));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveCount(slow.get(), strlen(kCannedResponse)));
    ScopedSocket second(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(second.get(), LengthRequest("second")));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveCount(second.get(), strlen(kCannedResponse)));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta"))) << "the second printer waited for the slow delivery";
    Delivered(2);
}

TEST(CreationService, ForceKeyAsksForLocalServerOnly) {
    // A string value named after the ProgID forces out-of-process creation, which fails for a
    // class with only an in-process server; a REG_DWORD value of that name changes nothing.
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), true));
    CPComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, PlatformServices::CreateInstance(object, L"KVLUMEN.EventManagerEx", nullptr));
    EXPECT_TRUE(object);

    ASSERT_TRUE(SetMachineString(kForceKey, "KVLUMEN.EventManagerEx", ""));
    // Windows answers REGDB_E_CLASSNOTREG; Wine reports the missing LocalServer32 key itself.
    HRESULT forced = PlatformServices::CreateInstance(object, L"KVLUMEN.EventManagerEx", nullptr);
    EXPECT_TRUE(forced == REGDB_E_CLASSNOTREG || forced == static_cast<HRESULT>(0x80040152)) << std::hex << forced;
    EXPECT_FALSE(object) << "the pointer is emptied before the lookup";

    DeleteMachineValue(kForceKey, "KVLUMEN.EventManagerEx");
    ASSERT_TRUE(SetMachineDword(kForceKey, "KVLUMEN.EventManagerEx", 1));
    EXPECT_EQ(S_OK, PlatformServices::CreateInstance(object, L"KVLUMEN.EventManagerEx", nullptr));
    EXPECT_TRUE(object);
    object.Clear();
    DeleteMachineKey(kForceKey);
    CallRegistration(ModuleNextToTests("KVEvTest"), false);
    CoUninitialize();
}

TEST(CreationService, UnresolvedProgIdRepairsOnceWithModule) {
    // Without a repair module an unknown ProgID fails with the lookup's code; with the module it
    // is registered again and the second lookup succeeds.
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    CallRegistration(ModuleNextToTests("KVEvTest"), false);
    CPComPtr<IUnknown> object;
    HRESULT unresolved = PlatformServices::CreateInstance(object, L"KVLUMEN.EventManagerEx", nullptr);
    EXPECT_TRUE(FAILED(unresolved));
    CLSID ignored;
    EXPECT_EQ(CLSIDFromProgID(L"KVLUMEN.EventManagerEx", &ignored), unresolved);

    std::string module = ModuleNextToTests("KVEvTest");
    std::wstring wide(module.begin(), module.end());
    EXPECT_EQ(S_OK, PlatformServices::CreateInstance(object, L"KVLUMEN.EventManagerEx", wide.c_str()));
    EXPECT_TRUE(object);
    object.Clear();
    CallRegistration(module, false);
    CoUninitialize();
}

TEST(CreationService, RegistrationRepairByExtension) {
    // ".exe" programs are run with "/regserver": 2 s is success, 4 s is a hang (E_FAIL), a
    // non-zero exit is a failure; a missing file fails; another extension succeeds unregistered.
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    EXPECT_EQ(S_OK, CPComPtrBase::RegisterComponent(wide(ProgramNextToTests("regserver_2s")).c_str(), true));
    DWORD start = GetTickCount();
    EXPECT_EQ(E_FAIL, CPComPtrBase::RegisterComponent(wide(ProgramNextToTests("regserver_4s")).c_str(), true));
    EXPECT_GE(GetTickCount() - start, 3000u) << "the hang was waited for 3.5 s";
    EXPECT_EQ(E_FAIL, CPComPtrBase::RegisterComponent(wide(ProgramNextToTests("regserver_fails")).c_str(), true));
    EXPECT_EQ(E_FAIL, CPComPtrBase::RegisterComponent(L"no-such-module.dll", true));
    EXPECT_EQ(E_FAIL, CPComPtrBase::RegisterComponent(L"", true));
    ScopedTempDir dir;
    std::string ocx = dir.file("control.ocx");
    FILE* f = fopen(ocx.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    EXPECT_EQ(S_OK, CPComPtrBase::RegisterComponent(wide(ocx).c_str(), true));
    // A module whose name ends in ".DLL" in capitals is registered through its entry point.
    std::string upper = dir.file("KVEVTEST.DLL");
    {
        std::string bytes = ReadWholeFile(ModuleNextToTests("KVEvTest"));
        ASSERT_FALSE(bytes.empty());
        FILE* out = fopen(upper.c_str(), "wb");
        ASSERT_NE(nullptr, out);
        fwrite(bytes.data(), 1, bytes.size(), out);
        fclose(out);
    }
    CallRegistration(ModuleNextToTests("KVEvTest"), false);
    EXPECT_EQ(S_OK, CPComPtrBase::RegisterComponent(wide(upper).c_str(), true));
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"KVLUMEN.EventManagerEx", &clsid));
    CallRegistration(upper, false);
}

TEST_F(DeliveryTest, EachEventGetsAnObjectOfItsOwnReleasedBeforeTheClose) {
    // Three events on one handler thread: each is delivered to a new event manager object, and
    // that object is gone by the time the printer sees its connection close.
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("event " + std::to_string(n))));
        EXPECT_EQ("event " + std::to_string(n), Delivered(n));
        EXPECT_TRUE(FileExists(mRecord.file(std::to_string(n) + ".made")));
        EXPECT_TRUE(FileExists(mRecord.file(std::to_string(n) + ".released"))) << "object " << n << " outlived its connection";
        EXPECT_FALSE(FileExists(mRecord.file(std::to_string(n + 1) + ".made")));
    }
}

TEST_F(DeliveryTest, MalformedRequestsAreRefusedNeverDelivered) {
    // What could never be a whole request is refused at once with the status that says why.
    const std::string post = "POST / HTTP/1.1\r\nHost: p\r\n";
    const std::vector<std::pair<std::string, unsigned>> cases = {
        {post + "\r\nHELLO", 411},                                                   // neither length nor chunked
        {post + "Transfer-Encoding: gzip\r\n\r\nHELLO", 501},                        // an unknown coding
        {post + "Transfer-Encoding: chunked, gzip\r\n\r\n5\r\nHELLO\r\n0\r\n\r\n", 501},
        {post + "Transfer-Encoding: chunked\r\n\r\n1000000000\r\nx", 400},           // a size beyond 32 bits
        {post + "Transfer-Encoding: chunked\r\n\r\nzz\r\nHELLO\r\n0\r\n\r\n", 400},   // a size that is no number
        {post + "Transfer-Encoding: chunked\r\n\r\n3\r\nHELLO\r\n0\r\n\r\n", 400},    // data longer than its size
        {post + "Content-Length: -1\r\n\r\nHELLO", 400},                             // a negative length
        {post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nHELLO!", 400},        // lengths that differ
        {"POST / HTTP/1.1\nHost: p\nContent-Length: 5\n\nHELLO", 400},               // LF without CR
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 400},      // a TLS ClientHello
        {"POST /\r\nContent-Length: 5\r\n\r\nHELLO", 400},                          // no HTTP version
    };
    for (const auto& c : cases) {
        std::string answer = Exchange(c.first, false);
        std::string expected = "HTTP/1.1 " + std::to_string(c.second) + " " + StatusText(c.second) + "\r\n";
        EXPECT_EQ(0u, answer.find(expected)) << c.first << "\n-> " << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nConnection: close\r\n"));
    }
    EXPECT_TRUE(HandlersFinished(cases.size()));
    EXPECT_EQ(cases.size(), CountOf(Log(), ", refused with "));
    EXPECT_FALSE(FileExists(mRecord.file("1.meta")));
}

TEST_F(DeliveryTest, StoredAcknowledgementWaitsForDeliver) {
    // With acknowledge "stored" the 200 comes only after Deliver succeeded; a failed Deliver gets
    // 503 with Retry-After, so that the printer sends the event again.
    ASSERT_TRUE(SetMachineString(kListenerKey, "acknowledge", "stored"));
    ASSERT_TRUE(SetMachineDword(kTestManagerKey, "delay", 300));
    RestartWith({});
    ScopedSocket printer(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(printer.get(), LengthRequest("kept")));
    std::string answer = ReceiveAll(printer.get());
    EXPECT_TRUE(FileExists(mRecord.file("1.meta"))) << "answered before the event was stored";
    EXPECT_EQ(std::string(kCannedResponse), answer);

    ASSERT_TRUE(SetMachineString(kTestManagerKey, "mode", "fail-deliver"));
    answer = Exchange(LengthRequest("lost"), false);
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find("\r\nRetry-After: 5\r\n"));
    EXPECT_TRUE(HandlersFinished(2));
    EXPECT_NE(std::string::npos, Log().find(" bytes, length, delivery failed, "));
}

TEST_F(DeliveryTest, SlowAndCrowdingPeersAreContained) {
    // A header section must be in within headerTimeoutMs, a body must keep coming, and one address
    // may hold only maxConnectionsPerPeer connections: the next one is closed at once.
    RestartWith({{"headerTimeoutMs", 1000}, {"maxConnectionsPerPeer", 3}});
    ScopedSocket silent(ConnectLoopback(mPort));
    ScopedSocket trickle(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(trickle.get(), "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\nx"));
    ScopedSocket third(ConnectLoopback(mPort));
    ScopedSocket fourth(ConnectLoopback(mPort));
    EXPECT_EQ("", ReceiveAll(fourth.get(), 5000));
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), ", closed at once, too many from its address, ") == 1; }));
    DWORD start = GetTickCount();
    EXPECT_EQ("", ReceiveAll(silent.get(), 10000));
    EXPECT_EQ("", ReceiveAll(trickle.get(), 10000));
    EXPECT_LT(GetTickCount() - start, 8000u) << "a slow peer was held for the whole request timeout";
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), ", timed out, ") >= 3; }));
    // With the crowd gone a printer from the same address is served.
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("served"), false));
    EXPECT_EQ("served", Delivered(1));
}

TEST_F(DeliveryTest, MemoryBudgetRefusesWhatDoesNotFit) {
    // With maxBufferedMB 1, a request declaring 900 KB holds most of the budget while it arrives;
    // another one of 300 KB then finds no room (after a moment's wait) and gets 503.
    RestartWith({{"maxBufferedMB", 1}});
    ScopedSocket big(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(big.get(), "POST / HTTP/1.1\r\nContent-Length: 900000\r\n\r\nx"));
    Sleep(200);
    std::string answer = Exchange(LengthRequest(std::string(300000, 'y')), false);
    EXPECT_EQ(0u, answer.find("HTTP/1.1 503 Service Unavailable\r\n")) << answer.substr(0, 200);
    ASSERT_TRUE(SendAll(big.get(), std::string(899999, 'x')));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveAll(big.get()));
    EXPECT_EQ(900000u, Delivered(1).size());
}

TEST_F(DeliveryTest, StopWaitsForDeliveriesUnderWay) {
    // A stop lets a delivery under way finish (stopDrainMs); one slower than that is named at
    // level 1 with its size.
    ASSERT_TRUE(SetMachineDword(kTestManagerKey, "delay", 1500));
    ScopedSocket first(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(first.get(), LengthRequest("in time")));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveCount(first.get(), strlen(kCannedResponse)));
    EXPECT_EQ(S_OK, mListener->Stop());
    EXPECT_TRUE(FileExists(mRecord.file("1.meta"))) << "the stop returned before the delivery ended";

    ASSERT_TRUE(SetMachineDword(kListenerKey, "stopDrainMs", 200));
    BSTR info = nullptr;
    ASSERT_EQ(S_OK, mListener->Start(&info));
    mPort = static_cast<unsigned short>(wcstol(info, nullptr, 10));
    SysFreeString(info);
    ScopedSocket second(ConnectLoopback(mPort));
    ASSERT_TRUE(SendAll(second.get(), LengthRequest("too slow")));
    EXPECT_EQ(std::string(kCannedResponse), ReceiveCount(second.get(), strlen(kCannedResponse)));
    EXPECT_EQ(S_OK, mListener->Stop());
    EXPECT_NE(std::string::npos, Log().find(AtLevel(1, "ConnectionService::Close: the stop goes on without a delivery of 8 bytes from 127.0.0.1:")));
    EXPECT_EQ("too slow", Delivered(2));
}

TEST_F(DeliveryTest, HealthFollowsTheDeliveries) {
    // /health says 503 with the reason while the last deliveries failed, or the event manager
    // cannot be made, and 200 again once a delivery succeeds.
    auto health = [&] { return Exchange("GET /health HTTP/1.1\r\nHost: lb\r\n\r\n", false); };
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("good"), false));
    EXPECT_EQ(0u, health().find("HTTP/1.1 200 OK\r\n"));
    ASSERT_TRUE(SetMachineString(kTestManagerKey, "mode", "fail-deliver"));
    Exchange(LengthRequest("bad 1"), false);
    Exchange(LengthRequest("bad 2"), false);
    std::string sick = health();
    EXPECT_EQ(0u, sick.find("HTTP/1.1 503 Service Unavailable\r\n")) << sick;
    EXPECT_NE(std::string::npos, sick.find("the last 2 deliveries failed (delivery failed, hr 0x80004005)")) << sick;
    ASSERT_TRUE(SetMachineString(kTestManagerKey, "mode", ""));
    Exchange(LengthRequest("good again"), false);
    EXPECT_EQ(0u, health().find("HTTP/1.1 200 OK\r\n"));
    ASSERT_EQ(S_OK, CallRegistration(ModuleNextToTests("KVEvTest"), false));
    Sleep(1100);  // the class object a handler thread keeps is looked up again after a second
    sick = health();
    EXPECT_EQ(0u, sick.find("HTTP/1.1 503 ")) << sick;
    EXPECT_NE(std::string::npos, sick.find("the event manager KVLUMEN.EventManagerEx cannot be created")) << sick;
}

TEST_F(DeliveryTest, MetricsCountOutcomesAndOnlyAllowedPeersLookOrDeliver) {
    // /metrics is the Prometheus text format, its counters follow the outcomes; statusFrom and
    // allowedPeers keep other addresses out with 403, and nothing is delivered for them.
    auto metrics = [&] { return Exchange("GET /metrics HTTP/1.1\r\nHost: prometheus\r\n\r\n", false); };
    auto figure = [](const std::string& text, const std::string& name) {
        size_t at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1.0 : atof(text.c_str() + at + name.size() + 2);
    };
    std::string before = metrics();
    EXPECT_EQ(0u, before.find("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4")) << before.substr(0, 200);
    EXPECT_NE(std::string::npos, before.find("# HELP kvlumen_requests_total "));
    EXPECT_NE(std::string::npos, before.find("# TYPE kvlumen_delivery_seconds histogram\n"));
    EXPECT_NE(std::string::npos, before.find("\nkvlumen_event_manager_ready 1\n"));
    double delivered = figure(before, "kvlumen_requests_total{outcome=\"delivered\"}");
    double refused411 = figure(before, "kvlumen_refusals_total{status=\"411\"}");
    EXPECT_EQ(std::string(kCannedResponse), Exchange(LengthRequest("counted"), false));
    Exchange("POST / HTTP/1.1\r\nHost: p\r\n\r\n", false);
    std::string after = metrics();
    EXPECT_EQ(delivered + 1, figure(after, "kvlumen_requests_total{outcome=\"delivered\"}"));
    EXPECT_EQ(refused411 + 1, figure(after, "kvlumen_refusals_total{status=\"411\"}"));
    EXPECT_LE(figure(after, "kvlumen_delivery_seconds_count"), figure(after, "kvlumen_delivery_seconds_bucket{le=\"+Inf\"}"));

    ASSERT_TRUE(SetMachineString(kListenerKey, "statusFrom", "192.0.2.0/24"));
    ASSERT_TRUE(SetMachineString(kListenerKey, "allowedPeers", "192.0.2.7, 2001:db8::/32"));
    RestartWith({});
    EXPECT_EQ(0u, metrics().find("HTTP/1.1 403 Forbidden\r\n"));
    EXPECT_EQ(0u, Exchange("GET /status HTTP/1.1\r\n\r\n", false).find("HTTP/1.1 403 Forbidden\r\n"));
    EXPECT_EQ(0u, Exchange("GET /health HTTP/1.1\r\n\r\n", false).find("HTTP/1.1 200 OK\r\n"));
    std::string refused = Exchange(LengthRequest("not from here"), false);
    EXPECT_EQ(0u, refused.find("HTTP/1.1 403 Forbidden\r\n")) << refused;
    EXPECT_TRUE(WaitFor([&] { return CountOf(Log(), ", refused with 403, ") == 3; }));
    EXPECT_FALSE(FileExists(mRecord.file("2.meta")));
}
