// RedisConnection.h -- one connection to one Redis server: commands in, replies out (hiredis's protocol code over our transport).
#pragma once

#include <hiredis/hiredis.h>

#include <memory>
#include <string>
#include <vector>

#include "FailureLog.h"
#include "RedisTransport.h"

struct ReplyFree {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using RedisReply = std::unique_ptr<redisReply, ReplyFree>;

// hiredis parses the replies (the commands' framing is written here, straight into the
// pipeline's buffer); the bytes travel through RedisTransport,
// so that every wait is bounded and no write raises a signal. Commands are queued with Append
// and go out together with Flush (a pipeline); Read takes the next reply.
class RedisConnection {
public:
    enum Role { kData, kSentinel };
    // Connects and, for a data node, authenticates (username/password) and selects the database.
    static std::unique_ptr<RedisConnection> Open(const std::string& address, Role role, const RedisSettings& settings,
                                                 ULONGLONG deadline, RedisError* error);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    void Append(const std::vector<std::string>& args);
    void Append(int argc, const char** argv, const size_t* lengths);
    bool Flush(ULONGLONG deadline, RedisError* error);
    // The next reply, or null with `error` set (the connection is then of no further use).
    RedisReply Read(ULONGLONG deadline, RedisError* error);
    // Append, Flush and Read for one command.
    RedisReply Command(const std::vector<std::string>& args, ULONGLONG deadline, RedisError* error);

    const std::string& Address() const { return mAddress; }
    bool Tls() const { return mTransport->Tls(); }

private:
    RedisConnection(const std::string& address, std::unique_ptr<RedisTransport> transport, redisReader* reader)
        : mAddress(address), mTransport(std::move(transport)), mReader(reader) {}

    const std::string mAddress;
    std::unique_ptr<RedisTransport> mTransport;
    redisReader* mReader;
    std::string mOutgoing;
};

// The text of an error reply ("OOM command not allowed ..."), or a word for another type.
std::string ReplyText(const redisReply* reply);
bool IsError(const redisReply* reply, const char* prefix = nullptr);
