// RequestOutcome.cpp -- the names of framings and results, and the request's line in the log.
#include "RequestOutcome.h"

#include <string>

#include "Logging.h"

const char* RequestFramingText(RequestFraming framing) {
    switch (framing) {
    case RequestFraming::Length: return "length";
    case RequestFraming::Chunked: return "chunked";
    case RequestFraming::Get: return "get";
    case RequestFraming::Head: return "head";
    case RequestFraming::None: break;
    }
    return "none";
}

const char* RequestResultText(RequestResult result) {
    switch (result) {
    case RequestResult::Delivered: return "delivered";
    case RequestResult::DeliveryFailed: return "delivery failed";
    case RequestResult::NoEventManager: return "not delivered, no event manager";
    case RequestResult::NoMemory: return "not delivered, no memory";
    case RequestResult::ComFailed: return "not delivered, COM failed";
    case RequestResult::Answered: return "answered";
    case RequestResult::Refused: return "refused";
    case RequestResult::PeerLimit: return "closed at once, too many from its address";
    case RequestResult::TimedOut: return "timed out";
    case RequestResult::Incomplete: return "incomplete";
    case RequestResult::ClosedEarly: return "closed before any byte";
    case RequestResult::WakeUp: return "wake-up";
    case RequestResult::ReceiveFailed: return "receive failed";
    case RequestResult::EndedByStop: return "ended by the stop";
    case RequestResult::EndedAtExit: return "ended at exit";
    case RequestResult::Exception: break;
    }
    return "exception";
}

void RequestOutcome::Log() const {
    if (LogLevel() < 4) return;
    std::string result = RequestResultText(this->result);
    if (this->result == RequestResult::Refused) result += " with " + std::to_string(status);
    ULONGLONG took = (endedAt ? endedAt : GetTickCount64()) - acceptedAt;
    LogMessage(4, "HandlingProc : request from %s: %lu bytes, %s, %s, %lu ms", peer.Text().c_str(),
               (unsigned long)bytesReceived, RequestFramingText(framing), result.c_str(), (unsigned long)took);
}
