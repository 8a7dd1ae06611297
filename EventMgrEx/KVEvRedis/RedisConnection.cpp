// RedisConnection.cpp -- formatting commands, parsing replies, and the hello of a new connection (AUTH, SELECT).
#include "RedisConnection.h"

#include <string.h>

#include "RedisSettings.h"

std::string ReplyText(const redisReply* reply) {
    if (!reply) return "no reply";
    if (reply->type == REDIS_REPLY_ERROR || reply->type == REDIS_REPLY_STATUS || reply->type == REDIS_REPLY_STRING)
        return std::string(reply->str, reply->len);
    if (reply->type == REDIS_REPLY_INTEGER) return std::to_string(reply->integer);
    if (reply->type == REDIS_REPLY_NIL) return "nil";
    return "an array";
}

bool IsError(const redisReply* reply, const char* prefix) {
    if (!reply || reply->type != REDIS_REPLY_ERROR) return false;
    return !prefix || (reply->len >= strlen(prefix) && strncmp(reply->str, prefix, strlen(prefix)) == 0);
}

std::unique_ptr<RedisConnection> RedisConnection::Open(const std::string& address, Role role, const RedisSettings& settings,
                                                       ULONGLONG deadline, RedisError* error) {
    std::unique_ptr<RedisTransport> transport = RedisTransport::Connect(address, settings, deadline, error);
    if (!transport) return nullptr;
    redisReader* reader = redisReaderCreate();
    if (!reader) {
        error->kind = Failure::kConnect;
        error->text = "out of memory";
        return nullptr;
    }
    std::unique_ptr<RedisConnection> connection(new RedisConnection(address, std::move(transport), reader));
    if (role == kSentinel) return connection;
    std::vector<std::vector<std::string>> hello;
    if (!settings.password.empty()) {
        if (settings.username.empty())
            hello.push_back({"AUTH", settings.password});
        else
            hello.push_back({"AUTH", settings.username, settings.password});
    }
    if (settings.database != 0) hello.push_back({"SELECT", std::to_string(settings.database)});
    for (const auto& command : hello) connection->Append(command);
    if (!connection->Flush(deadline, error)) return nullptr;
    for (const auto& command : hello) {
        RedisReply reply = connection->Read(deadline, error);
        if (!reply) return nullptr;
        if (reply->type == REDIS_REPLY_ERROR) {
            error->kind = Failure::kAuth;
            error->text = command[0] + " refused: " + ReplyText(reply.get());
            return nullptr;
        }
    }
    return connection;
}

RedisConnection::~RedisConnection() { redisReaderFree(mReader); }

void RedisConnection::Append(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    argv.reserve(args.size());
    lengths.reserve(args.size());
    for (const std::string& arg : args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    Append(static_cast<int>(argv.size()), argv.data(), lengths.data());
}

void RedisConnection::Append(int argc, const char** argv, const size_t* lengths) {
    // The protocol's framing, written straight into the pipeline's buffer: a body is copied once.
    size_t size = 16;
    for (int i = 0; i < argc; ++i) size += lengths[i] + 24;
    mOutgoing.reserve(mOutgoing.size() + size);
    mOutgoing += "*" + std::to_string(argc) + "\r\n";
    for (int i = 0; i < argc; ++i) {
        mOutgoing += "$" + std::to_string(lengths[i]) + "\r\n";
        mOutgoing.append(argv[i], lengths[i]);
        mOutgoing += "\r\n";
    }
}

bool RedisConnection::Flush(ULONGLONG deadline, RedisError* error) {
    bool sent = mTransport->Send(mOutgoing.data(), mOutgoing.size(), deadline, error);
    mOutgoing.clear();
    return sent;
}

RedisReply RedisConnection::Read(ULONGLONG deadline, RedisError* error) {
    for (;;) {
        void* parsed = nullptr;
        if (redisReaderGetReply(mReader, &parsed) != REDIS_OK) {
            error->kind = Failure::kBroken;
            error->text = std::string("Redis's reply cannot be read: ") + mReader->errstr;
            return nullptr;
        }
        if (parsed) return RedisReply(static_cast<redisReply*>(parsed));
        char buffer[16384];
        size_t got = mTransport->Receive(buffer, sizeof(buffer), deadline, error);
        if (got == 0) return nullptr;
        if (redisReaderFeed(mReader, buffer, got) != REDIS_OK) {
            error->kind = Failure::kBroken;
            error->text = "out of memory for Redis's reply";
            return nullptr;
        }
    }
}

RedisReply RedisConnection::Command(const std::vector<std::string>& args, ULONGLONG deadline, RedisError* error) {
    Append(args);
    if (!Flush(deadline, error)) return nullptr;
    return Read(deadline, error);
}
