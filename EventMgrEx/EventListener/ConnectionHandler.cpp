// ConnectionHandler.cpp -- one connection: receive a whole request within its limits, answer, deliver the body, close.
#include "ConnectionHandler.h"

#include <new>

#include <string.h>

#include <algorithm>
#include <string>

#include "ByteText.h"
#include "CPWStringBuffer.h"
#include "CannedResponse.h"
#include "ConnectionService.h"
#include "LogThrottle.h"
#include "Logging.h"
#include "IEventManagerStatus.h"
#include "ListenerCounters.h"
#include "PeerTable.h"
#include "ShutdownAck.h"
#include "StatusPages.h"

using framing::BodyFraming;
using framing::Method;

namespace {

const char kWakeUpText[] = "ShutDownEvent";
// One receive takes what a typical request is at once: a 2 KiB event in 1023-byte pieces took
// three receives and three readiness waits, and a large body a thousand times more of both.
const size_t kReceiveChunk = 16383;
// How long a refused peer's remaining bytes are read and dropped before the close.
const DWORD kLingerMs = 1000;
// After its header section a body must keep coming at this rate on average (after a grace of
// headerTimeoutMs): a peer that trickles a byte now and then cannot hold a handler for long.
const uint64_t kMinBodyBytesPerSecond = 1024;
// How long a whole request may wait for room in the memory budget before it is refused.
const DWORD kBudgetWaitMs = 2000;
// Requests at least this large hand their memory back to the system when they are done.
const size_t kLargeRequest = 1u << 20;

// Lines about what peers do are written at most once a second each, with a count.
LogThrottle gTimedOutLines;
LogThrottle gRefusedLines;
LogThrottle gTooLargeLines;
LogThrottle gCreateFailureLines;
LogThrottle gDeliverFailureLines;

ULONGLONG Earlier(ULONGLONG a, ULONGLONG b) { return a < b ? a : b; }

// What the request amounts to as far as it is known: its header section and declared length,
// else the bytes received (chunked, or the header section not complete yet).
uint64_t RequestSize(const TransferState& transfer, size_t received) {
    if (!transfer.headerComplete()) return received;
    switch (transfer.header().framing()) {
    case BodyFraming::Length:
        return uint64_t(transfer.bodyStart()) + static_cast<uint32_t>(transfer.header().length);
    case BodyFraming::None:
        return transfer.bodyStart();
    case BodyFraming::Chunked:
        break;
    }
    return received;
}

RequestFraming FramingOf(const TransferState& transfer) {
    if (!transfer.headerComplete()) return RequestFraming::None;
    switch (transfer.header().framing()) {
    case BodyFraming::Length: return RequestFraming::Length;
    case BodyFraming::Chunked: return RequestFraming::Chunked;
    case BodyFraming::None: break;
    }
    return transfer.header().method == Method::Get ? RequestFraming::Get : RequestFraming::Head;
}

// One receive, straight into the text's storage: as much as has arrived when the text is still
// empty (a peer that sends one byte and falls silent costs a few bytes, not a buffer), else up to
// kReceiveChunk, the text growing by doubling but never past `bound`.
Transport::Receive ReceivePiece(Transport& transport, ULONGLONG deadline, RequestText& text, size_t bound) {
    size_t want = kReceiveChunk;
    if (text.empty()) {
        size_t available = transport.Available();
        if (available) want = available < kReceiveChunk ? available : kReceiveChunk;
    }
    size_t room = 0;
    char* into = text.Room(want, bound, &room);
    if (!into) throw std::bad_alloc();
    size_t got = 0;
    Transport::Receive received = transport.ReceiveBefore(deadline, into, room, &got);
    if (received == Transport::Receive::Bytes) text.Grew(got);
    return received;
}

// The part of the memory budget a request's text holds, given back on every way out.
class BudgetHold {
public:
    ~BudgetHold() { Release(); }
    // Grows the hold to `bytes`, waiting up to `waitMs` for room; false when there is none.
    // `alsoHeld` is what the same request holds in another hold.
    bool GrowTo(uint64_t bytes, DWORD waitMs, uint64_t alsoHeld = 0) {
        if (bytes <= mHeld) return true;
        if (!ConnectionService::Instance().ReserveBuffered(bytes - mHeld, waitMs, mHeld + alsoHeld)) return false;
        mHeld = bytes;
        return true;
    }
    uint64_t Held() const { return mHeld; }
    void Release() {
        if (mHeld) ConnectionService::Instance().ReleaseBuffered(mHeld);
        mHeld = 0;
    }

private:
    uint64_t mHeld = 0;
};

void GiveBackLargeRequest(size_t bytes) {
    if (bytes >= kLargeRequest) ConnectionService::Instance().LargeBlockFreed();
}

}  // namespace

enum class ConnectionHandler::Intake {
    Whole,        // a whole, well-formed request
    Malformed,    // it can never become one: refused with the status TransferState names
    TooLarge,     // more than maxRequestKB
    NoRoom,       // no room in the memory budget for it
    Incomplete,   // the peer closed its side part-way through
    ClosedEarly,  // the peer closed before sending a single byte: no event
    WakeUp,       // the stop's wake-up message
    TimedOut,     // not complete in time
    Stopped,      // the listener stops, or the process exits
    Failed,       // the connection failed (a reset)
    Forbidden,    // its address may not deliver events
};

struct ConnectionHandler::Request {
    explicit Request(ULONGLONG started) : startedAt(started) {}
    ULONGLONG startedAt;  // the request's time runs from when a handler took its connection
    ULONGLONG headerAt = 0;
    ULONGLONG deadline = 0;  // of the last wait
    RequestText text;
    TransferState transfer;
    BudgetHold budget;
};

RequestOutcome ConnectionHandler::Serve(Transport& transport, const ListenerRun& run, ULONGLONG acceptedAt) {
    KV_TRACE_SCOPE("HandlingProc");
    mLingerMs = 0;
    RequestOutcome outcome;
    outcome.peer = transport.Peer();
    outcome.acceptedAt = acceptedAt;
    try {
        Request request(GetTickCount64());
        Intake intake = Receive(transport, run, request);
        outcome.bytesReceived = request.text.size();
        outcome.framing = FramingOf(request.transfer);
        if (intake == Intake::Whole) outcome.receivedAt = GetTickCount64();
        switch (intake) {
        case Intake::WakeUp:
            KVLOG(5, "HandlingProc : Returning...ShutDown event occurred");
            gShutdownAck.Signal();
            outcome.result = RequestResult::WakeUp;
            break;
        case Intake::ClosedEarly:
            outcome.result = RequestResult::ClosedEarly;
            break;
        case Intake::Failed:
            KVLOG(5, "HandlingProc : Receive failed, connection closed without reply");
            outcome.result = RequestResult::ReceiveFailed;
            break;
        case Intake::Stopped:
            outcome.result =
                ConnectionService::Instance().Exiting() ? RequestResult::EndedAtExit : RequestResult::EndedByStop;
            break;
        case Intake::TimedOut: {
            unsigned long times = 0;
            if (gTimedOutLines.Due(&times))
                KVLOG(2, "HandlingProc : %s sent no complete request within %lu ms (%lu bytes); closed without reply "
                         "(%lu such connection(s) since the last report)",
                      outcome.peer.Text().c_str(), (unsigned long)(request.deadline - request.startedAt),
                      (unsigned long)outcome.bytesReceived, times);
            outcome.result = RequestResult::TimedOut;
            break;
        }
        case Intake::Incomplete:
            Refuse(transport, 400, "the request ended before it was complete", outcome);
            outcome.result = RequestResult::Incomplete;
            break;
        case Intake::TooLarge: {
            unsigned long times = 0;
            if (gTooLargeLines.Due(&times))
                KVLOG(2, "HandlingProc : %s sent a request of %s bytes, over the limit of %lu KB; refused with 413 (%lu "
                         "such request(s) since the last report)",
                      outcome.peer.Text().c_str(),
                      std::to_string(RequestSize(request.transfer, request.text.size())).c_str(),
                      (unsigned long)run.settings.maxRequestKB, times);
            Refuse(transport, 413, "the request is larger than maxRequestKB allows", outcome, true);
            break;
        }
        case Intake::Malformed:
            Refuse(transport, request.transfer.refusalStatus(), request.transfer.refusalReason(), outcome);
            break;
        case Intake::Forbidden:
            Refuse(transport, 403, "this address may not deliver events (allowedPeers)", outcome);
            break;
        case Intake::NoRoom:
            Refuse(transport, 503, "the listener holds as many requests as maxBufferedMB allows", outcome);
            break;
        case Intake::Whole:
            Answer(transport, run, request, outcome);
            break;
        }
    } catch (...) {
        KV_LOG_CAUGHT("HandlingProc : Exception occurred");
        outcome.result = RequestResult::Exception;
    }
    // Counted before the close: a peer that asks for the figures after its answer finds it there.
    outcome.endedAt = GetTickCount64();
    ConnectionService::Instance().Report(outcome);
    if (mLingerMs) transport.FinishSending(mLingerMs);
    KVLOG_EXIT(5, "HandlingProc", 0);
    return outcome;
}

ConnectionHandler::Intake ConnectionHandler::Receive(Transport& transport, const ListenerRun& run, Request& request) {
    const ListenerSettings& settings = run.settings;
    const uint64_t limit = settings.MaxRequestBytes();
    const ULONGLONG requestDeadline = request.startedAt + settings.requestTimeoutMs;
    const ULONGLONG headerDeadline = request.startedAt + settings.headerTimeoutMs;
    RequestText& text = request.text;
    TransferState& transfer = request.transfer;
    for (;;) {
        ULONGLONG deadline = Earlier(requestDeadline, headerDeadline);
        if (transfer.headerComplete()) {
            uint64_t bodyReceived = text.size() - transfer.bodyStart();
            deadline = Earlier(requestDeadline, request.headerAt + settings.headerTimeoutMs +
                                                    bodyReceived * 1000 / kMinBodyBytesPerSecond);
        }
        request.deadline = deadline;
        Transport::Receive waited = transport.WaitBefore(deadline);
        switch (waited == Transport::Receive::Bytes
                    ? ReceivePiece(transport, deadline, text, static_cast<size_t>(limit) + kReceiveChunk)
                    : waited) {
        case Transport::Receive::TimedOut: return Intake::TimedOut;
        case Transport::Receive::Stopped: return Intake::Stopped;
        case Transport::Receive::Failed: return Intake::Failed;
        case Transport::Receive::Closed: return text.empty() ? Intake::ClosedEarly : Intake::Incomplete;
        case Transport::Receive::Bytes: break;
        }
        if (!request.budget.GrowTo(text.capacity(), kBudgetWaitMs)) return Intake::NoRoom;
        if (strcmp(text.c_str(), kWakeUpText) == 0) return Intake::WakeUp;
        transfer.isTransferFinished(text.data(), text.size());
        if (transfer.intake() == TransferState::Intake::Malformed) return Intake::Malformed;
        // Who may deliver is known from the address alone: the body is not waited for.
        if (transfer.headerComplete() && transfer.header().method == Method::Other &&
            !settings.allowedPeers.Allows(transport.Peer()))
            return Intake::Forbidden;
        if (RequestSize(transfer, text.size()) > limit) return Intake::TooLarge;
        if (transfer.intake() == TransferState::Intake::Whole) return Intake::Whole;
        if (!request.headerAt && transfer.headerComplete()) {
            request.headerAt = GetTickCount64();
            // A declared length (within the limit, checked above) is room taken once, instead of
            // copying the text at every doubling.
            if (transfer.header().framing() == BodyFraming::Length) {
                size_t whole = static_cast<size_t>(RequestSize(transfer, text.size()));
                if (!request.budget.GrowTo(whole, kBudgetWaitMs)) return Intake::NoRoom;
                if (!text.Reserve(whole)) throw std::bad_alloc();
            }
            // The client holds its body back until we say it is welcome; a refusal came above.
            if (transfer.header().expectContinue) transport.Send(kContinueResponse, strlen(kContinueResponse));
        }
    }
}

void ConnectionHandler::Refuse(Transport& transport, unsigned status, const char* reason, RequestOutcome& outcome,
                               bool logged) {
    unsigned long times = 0;
    if (!logged && gRefusedLines.Due(&times))
        KVLOG(2, "HandlingProc : %s sent a request that is refused with %u: %s (%lu bytes; %lu refusal(s) since the last "
                 "report)",
              outcome.peer.Text().c_str(), status, reason, (unsigned long)outcome.bytesReceived, times);
    std::string answer = RefusalResponse(status, reason);
    if (transport.Send(answer.data(), answer.size())) outcome.status = status;
    outcome.answeredAt = GetTickCount64();
    outcome.result = RequestResult::Refused;
    // A refused peer may still be sending its body: it is read and dropped for a moment, so that
    // the close does not reset the connection under the answer.
    mLingerMs = kLingerMs;
}

void ConnectionHandler::Answer(Transport& transport, const ListenerRun& run, Request& request,
                               RequestOutcome& outcome) {
    const framing::HeaderSection& header = request.transfer.header();
    if (header.framing() != BodyFraming::None) return DeliverWhole(transport, run, request, outcome);
    // GET and HEAD: a monitor, a load balancer, a person or a scraper. Answered, never delivered.
    std::string target = request.text.substr(header.targetOffset, header.targetLength);
    size_t question = target.find('?');
    std::string path = target.substr(0, question);
    std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    bool headOnly = header.method == Method::Head;
    std::string answer;
    unsigned status = 200;
    if ((path == "/metrics" || path == "/status") && !run.settings.statusFrom.Allows(outcome.peer)) {
        return Refuse(transport, 403, "this address may not read the listener's figures (statusFrom)", outcome);
    }
    EventManagerState manager = ManagerState();
    ListenerCounters& counters = ListenerCounters::Instance();
    HealthVerdict health = JudgeHealth(counters.TakeHealth(), manager);
    if (path == "/metrics" || path == "/status") {
        ConnectionService& service = ConnectionService::Instance();
        ListenerGauges gauges;
        gauges.connectionsOpen = service.Connections();
        gauges.connectionsWaiting = service.Waiting();
        gauges.handlerThreads = service.Threads();
        gauges.idleHandlerThreads = service.IdleThreads();
        gauges.bufferedBytes = service.Buffered();
        gauges.port = transport.LocalPort();
        gauges.acknowledge = run.settings.acknowledge == Acknowledge::Stored ? "stored" : "received";
        gauges.statusFrom = run.settings.statusFrom.Text();
        gauges.allowedPeers = run.settings.allowedPeers.Text();
        PeerTable& printers = PeerTable::Instance();
        if (path == "/metrics") {
            answer = HttpAnswer(200, "text/plain; version=0.0.4; charset=utf-8",
                                MetricsText(counters.Take(), gauges, manager, printers.Size()), headOnly);
        } else {
            std::string sort = query.compare(0, 5, "sort=") == 0 ? query.substr(5) : std::string();
            answer = HttpAnswer(200, "text/html; charset=utf-8",
                                StatusPage(counters.Take(), gauges, manager, health, printers.Rows(), sort), headOnly);
        }
    } else {
        // "/", "/health" and anything else: the port check of old, and whether it is worth sending events.
        std::string body = StatusBody(transport.LocalPort()) + health.reason + "\r\n";
        status = health.healthy ? 200 : 503;
        answer = HttpAnswer(status, "text/plain", body, headOnly);
    }
    if (transport.Send(answer.data(), answer.size())) outcome.status = status;
    outcome.answeredAt = GetTickCount64();
    outcome.result = RequestResult::Answered;
}

EventManagerState ConnectionHandler::ManagerState() {
    EventManagerState state;
    state.created = false;
    if (!mManagers.Enter()) {
        state.createResult = CO_E_NOTINITIALIZED;
        return state;
    }
    CPComPtr<IEventManagerEx> manager;
    state.createResult = mManagers.Create(manager);
    if (FAILED(state.createResult) || !manager) return state;
    state.created = true;
    IEventManagerStatus* status = nullptr;
    if (SUCCEEDED(manager->QueryInterface(IID_IEventManagerStatus, reinterpret_cast<void**>(&status))) && status) {
        VARIANT_BOOL ready = VARIANT_TRUE;
        UniqueBstr summary;
        UniqueBstr metrics;
        if (SUCCEEDED(status->GetStatus(&ready, summary.put(), metrics.put()))) {
            state.reportsStatus = true;
            state.ready = ready != VARIANT_FALSE;
            state.summary = NarrowBytes(summary.get());
            state.metrics = NarrowBytes(metrics.get());
        }
        status->Release();
    }
    return state;
}

void ConnectionHandler::DeliverWhole(Transport& transport, const ListenerRun& run, Request& request,
                                     RequestOutcome& outcome) {
    const bool stored = run.settings.acknowledge == Acknowledge::Stored;
    const uint64_t size = request.transfer.bodySize();
    outcome.bodyBytes = size;
    // The message as COM carries it: every byte widened to a character, NULs included, in a string
    // of exactly the body's length. Made before the printer hears anything, so that a message that
    // cannot be made is refused instead of acknowledged and lost.
    BudgetHold widened;
    UniqueBstr message;
    if (size != 0) {
        if (size > 0x7FFFFFF0u / sizeof(WCHAR) - 1 || !widened.GrowTo(size * sizeof(WCHAR), kBudgetWaitMs, request.budget.Held())) {
            Refuse(transport, 503, "the listener holds as many requests as maxBufferedMB allows", outcome);
            return;
        }
        message.reset(SysAllocStringLen(nullptr, static_cast<UINT>(size)));
        if (!message) {
            KVLOG(1, "HandlingProc : a message of %lu bytes could not be widened; it is not delivered", (unsigned long)size);
            Refuse(transport, 503, "the listener has no memory for the message now", outcome);
            outcome.result = RequestResult::NoMemory;
            return;
        }
        WCHAR* to = message.get();
        for (const TransferState::Piece& piece : request.transfer.bodyPieces()) {
            WidenBytes(request.text.data() + piece.offset, piece.size, to);
            to += piece.size;
        }
    }
    size_t textBytes = request.text.capacity();
    request.text.Release();
    request.budget.Release();
    GiveBackLargeRequest(textBytes);

    if (!stored) {
        // The printer gets its answer whatever becomes of the message.
        if (transport.Send(kCannedResponse, strlen(kCannedResponse)))
            outcome.status = 200;
        else
            KVLOG(5, "HandlingProc : Failed sending response to printer upon receiving the entire data");
        outcome.answeredAt = GetTickCount64();
    }
    ULONGLONG started = GetTickCount64();
    outcome.result = Deliver(message.get(), size, outcome.peer, &outcome.deliverResult);
    outcome.deliveryMs = GetTickCount64() - started;
    message.reset();
    widened.Release();
    GiveBackLargeRequest(static_cast<size_t>(size * sizeof(WCHAR)));
    if (stored) {
        // The 200 says the event is stored; anything else says to send it again.
        if (outcome.result == RequestResult::Delivered) {
            if (transport.Send(kCannedResponse, strlen(kCannedResponse))) outcome.status = 200;
        } else {
            std::string answer = RefusalResponse(503, "the event could not be stored; send it again later");
            if (transport.Send(answer.data(), answer.size())) outcome.status = 503;
        }
        outcome.answeredAt = GetTickCount64();
    }
    if (request.transfer.header().framing() == BodyFraming::Chunked && !request.transfer.trailerComplete())
        mLingerMs = kLingerMs;
}

RequestResult ConnectionHandler::Deliver(BSTR message, uint64_t size, const PeerAddress& peer, HRESULT* result) {
    // A stop waits for this (stopDrainMs at most) and names it if it cannot.
    ConnectionService::DeliveryUnderWay underWay(size, peer);
    *result = S_OK;
    if (!mManagers.Enter()) {
        KVLOG(5, "HandlingProc : Failed to initialize COM runtime library");
        *result = E_FAIL;
        return RequestResult::ComFailed;
    }
    // One object per event, released before the connection closes.
    CPComPtr<IEventManagerEx> manager;
    *result = mManagers.Create(manager);
    if (FAILED(*result)) {
        KVLOG(5, "HandlingProc : Failed to create instance of EventManager");
        unsigned long times = 0;
        if (gCreateFailureLines.Due(&times))
            KVLOG(1, "HandlingProc : Failed to create instance of %S (hr: 0x%08X; %lu failed deliveries since the last "
                     "report)",
                  KV_EVENT_MANAGER_PROGID, (unsigned)*result, times);
        return RequestResult::NoEventManager;
    }
    CPWStringBuffer response;
    *result = manager->Deliver(message, response.Put());
    response.Free();
    manager.Clear();
    if (SUCCEEDED(*result)) {
        KVLOG(5, "HandlingProc : Event Manager Deliver succeeded");
        return RequestResult::Delivered;
    }
    KVLOG(5, "HandlingProc : Event Manager Deliver failed");
    unsigned long times = 0;
    if (gDeliverFailureLines.Due(&times))
        KVLOG(1, "HandlingProc : Deliver failed (hr: 0x%08X) for a message of %s bytes (%lu failed deliveries since the "
                 "last report)",
              (unsigned)*result, std::to_string(size).c_str(), times);
    // A manager that failed is not trusted with the next message: its class is looked up again.
    mManagers.Forget();
    return RequestResult::DeliveryFailed;
}
