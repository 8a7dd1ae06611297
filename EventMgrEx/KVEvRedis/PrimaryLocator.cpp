// PrimaryLocator.cpp -- asking the sentinels for the current primary.
#include "PrimaryLocator.h"

#include <sstream>

#include "RedisConnection.h"
#include "RedisSettings.h"

namespace PrimaryLocator {

bool Find(const RedisSettings& settings, ULONGLONG deadline, std::string* address, RedisError* error) {
    if (settings.sentinels.empty()) {
        *address = settings.address;
        return true;
    }
    std::stringstream list(settings.sentinels);
    std::string sentinel;
    std::string tried;
    while (std::getline(list, sentinel, ',')) {
        while (!sentinel.empty() && sentinel.front() == ' ') sentinel.erase(0, 1);
        while (!sentinel.empty() && sentinel.back() == ' ') sentinel.pop_back();
        if (sentinel.empty()) continue;
        RedisError failure;
        std::unique_ptr<RedisConnection> connection =
            RedisConnection::Open(sentinel, RedisConnection::kSentinel, settings, deadline, &failure);
        RedisReply reply;
        if (connection)
            reply = connection->Command({"SENTINEL", "get-master-addr-by-name", settings.masterName}, deadline, &failure);
        if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 && reply->element[0]->type == REDIS_REPLY_STRING &&
            reply->element[1]->type == REDIS_REPLY_STRING) {
            std::string host = ReplyText(reply->element[0]);
            if (host.find(':') != std::string::npos) host = "[" + host + "]";
            *address = host + ":" + ReplyText(reply->element[1]);
            return true;
        }
        if (reply) failure.text = "it knows no primary '" + settings.masterName + "' (" + ReplyText(reply.get()) + ")";
        tried += (tried.empty() ? "" : "; ") + sentinel + ": " + failure.text;
        if (GetTickCount64() >= deadline) break;
    }
    error->kind = Failure::kConnect;
    error->text = "no sentinel names the primary: " + (tried.empty() ? std::string("no sentinel listed") : tried);
    return false;
}

}  // namespace PrimaryLocator
