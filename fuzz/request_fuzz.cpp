// request_fuzz.cpp -- libFuzzer target: the whole request path, bytes in to answer and delivered body, against the stateless framing.
//
// Input: byte 0's low four bits give the number of piece lengths that follow (each byte a length
// of 1 to 256), bit 4 asks for acknowledge "stored", bit 5 makes Deliver fail; the rest is what
// the peer sends, in those pieces (cycled), before it closes its side. The connection handler
// serves it through a transport held in memory, with an event manager that records what it gets.
//
// Invariants, any breach aborts:
//   - nothing is delivered unless the request was whole: the stateless check calls the text
//     complete, it is not a GET or HEAD, and its split succeeds;
//   - a delivered body is the declared one, byte for byte (the split's result: the bytes after
//     the header section cut to the length, or the chunks' data joined) and its string is exactly
//     as long as it is;
//   - at most one delivery; every answer is a whole HTTP/1.1 status line that says the connection
//     closes; a 200 DeliverResponse only for a delivered request (received) or a stored one
//     (stored); nothing delivered is answered with a refusal in received mode.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "CannedResponse.h"
#include "ConnectionHandler.h"
#include "ConnectionService.h"
#include "HttpFraming.h"
#include "Logging.h"

namespace {

void Require(bool holds, const char* what) {
    if (holds) return;
    fprintf(stderr, "the request path breaks its promise: %s\n", what);
    abort();
}

// What the peer sends, in pieces, and what it is answered.
class MemoryTransport final : public Transport {
public:
    MemoryTransport(const std::string& text, const std::vector<size_t>& pieces) : mText(text), mPieces(pieces) {}

    Receive ReceiveBefore(ULONGLONG, char* buffer, size_t capacity, size_t* got) override {
        *got = 0;
        if (mAt >= mText.size()) return Receive::Closed;
        size_t piece = mPieces.empty() ? mText.size() : mPieces[mNext++ % mPieces.size()];
        size_t n = std::min(std::min(piece, capacity), mText.size() - mAt);
        memcpy(buffer, mText.data() + mAt, n);
        mAt += n;
        *got = n;
        return Receive::Bytes;
    }
    bool Send(const char* data, size_t size) override {
        answers.append(data, size);
        return true;
    }
    void FinishSending(DWORD) override {}
    void Close() override {}
    const PeerAddress& Peer() const override { return mPeer; }
    unsigned LocalPort() const override { return 8080; }

    std::string answers;

private:
    const std::string& mText;
    const std::vector<size_t>& mPieces;
    size_t mAt = 0;
    size_t mNext = 0;
    PeerAddress mPeer;
};

// Records every Deliver: the string's units and its recorded length.
class RecordingManager final : public IEventManagerEx {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEventManagerEx)) {
            *object = static_cast<IEventManagerEx*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++mReferences; }
    ULONG STDMETHODCALLTYPE Release() override { return --mReferences; }
    HRESULT STDMETHODCALLTYPE Deliver(BSTR message, BSTR* response) override {
        ++deliveries;
        delivered.clear();
        UINT length = message ? SysStringLen(message) : 0;
        for (UINT i = 0; i < length; ++i) {
            Require(static_cast<unsigned long>(message[i]) <= 0xFF, "a delivered character is no byte");
            delivered += static_cast<char>(message[i]);
        }
        if (response) *response = nullptr;
        return fail ? E_FAIL : S_OK;
    }

    int deliveries = 0;
    std::string delivered;
    bool fail = false;
    ULONG mReferences = 0;
};

class RecordingSource final : public EventManagerSource {
public:
    bool Enter() override { return true; }
    HRESULT Create(CPComPtr<IEventManagerEx>& manager) override {
        manager.Clear();
        *manager.Slot() = &object;
        object.AddRef();
        return S_OK;
    }
    void Forget() override {}
    RecordingManager object;
};

bool StartsWithStatusLine(const std::string& answer) {
    return answer.size() > 13 && answer.compare(0, 9, "HTTP/1.1 ") == 0 && answer.find("\r\n") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t count = data[0] & 15;
    bool stored = (data[0] & 16) != 0;
    bool failing = (data[0] & 32) != 0;
    if (size < 1 + count) return 0;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < count; ++i) pieces.push_back(size_t(data[1 + i]) + 1);
    const std::string text(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);

    static ListenerRun* run = [] {
        ListenerRun* made = new ListenerRun();
        made->settings.maxRequestKB = 64;
        return made;
    }();
    run->settings.acknowledge = stored ? Acknowledge::Stored : Acknowledge::Received;

    RecordingSource managers;
    managers.object.fail = failing;
    MemoryTransport transport(text, pieces);
    RequestOutcome outcome;
    {
        ConnectionHandler handler(&managers);
        outcome = handler.Serve(transport, *run, GetTickCount64());
    }
    Require(managers.object.mReferences == 0, "an event manager object was not released");
    Require(managers.object.deliveries <= 1, "delivered more than once");

    // The stateless functions say what was whole and what its body is: the shortest prefix they
    // call complete (completion never goes back as bytes are added), split.
    size_t complete = text.size();
    bool whole = isTransferFinished(text);
    if (whole) {
        size_t incomplete = 0;
        while (complete - incomplete > 1) {
            size_t middle = incomplete + (complete - incomplete) / 2;
            if (isTransferFinished(text.substr(0, middle)))
                complete = middle;
            else
                incomplete = middle;
        }
    }
    std::string body = text.substr(0, complete);
    whole = whole && splitData(body);
    framing::HeaderSection head = readHeaderSection(text);
    if (managers.object.deliveries == 1) {
        Require(whole, "delivered a request that was not whole");
        Require(head.framing() != framing::BodyFraming::None, "delivered a GET or HEAD");
        Require(managers.object.delivered == body, "the delivered body is not the declared one");
        Require(outcome.bodyBytes == body.size(), "the outcome's body size is wrong");
    }

    const std::string& answer = transport.answers;
    if (!answer.empty()) {
        // An interim 100 Continue may come first.
        size_t final = answer.compare(0, 12, "HTTP/1.1 100") == 0 ? answer.find("\r\n\r\n") + 4 : 0;
        Require(StartsWithStatusLine(answer.substr(final)), "an answer without its status line");
        bool ok = answer.compare(final, std::string::npos, kCannedResponse) == 0;
        bool refusal = !ok && answer.compare(final, 13, "HTTP/1.1 200 ") != 0;
        if (ok) {
            Require(managers.object.deliveries == 1, "a DeliverResponse for nothing delivered");
            if (stored) Require(!failing, "a stored acknowledgement for a failed Deliver");
        } else if (refusal) {
            Require(answer.find("\r\nConnection: close\r\n") != std::string::npos, "a refusal that keeps the connection");
            Require(stored || managers.object.deliveries == 0, "refused after delivering");
        }
    }
    return 0;
}
