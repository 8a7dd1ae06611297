// StreamConsumer.cpp -- a consumer group reading the whole stream once, each body checked against what was sent.
//
//   stream_consumer ADDRESS PORT STREAM GROUP SENT...
//
// Creates GROUP on STREAM (from its start), reads with XREADGROUP until nothing is left,
// acknowledging each entry, and checks it against the SENT files ("<id> <port>" lines written by
// printer_load): every sent body exactly once and byte for byte, "bytes" its length, "listener"
// the host name and the port it was sent to, "received" a UTC time, "id" an id no other entry
// has. Exit 0 when all holds.
#include <hiredis/hiredis.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "PrinterBodies.h"

namespace {

std::string Text(const redisReply* reply) { return std::string(reply->str, reply->len); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: stream_consumer ADDRESS PORT STREAM GROUP SENT...\n");
        return 2;
    }
    const char* stream = argv[3];
    const char* group = argv[4];
    std::map<long, unsigned> sentTo;  // id -> port
    for (int i = 5; i < argc; ++i) {
        FILE* sent = fopen(argv[i], "r");
        if (!sent) {
            fprintf(stderr, "stream_consumer: cannot read %s\n", argv[i]);
            return 2;
        }
        long id;
        unsigned port;
        while (fscanf(sent, "%ld %u", &id, &port) == 2) sentTo[id] = port;
        fclose(sent);
    }
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);

    redisContext* redis = redisConnect(argv[1], atoi(argv[2]));
    if (!redis || redis->err) {
        fprintf(stderr, "stream_consumer: cannot connect: %s\n", redis ? redis->errstr : "no memory");
        return 2;
    }
    // STREAM_DB: the database the stream lives in.
    if (const char* database = getenv("STREAM_DB")) {
        redisReply* selected = static_cast<redisReply*>(redisCommand(redis, "SELECT %s", database));
        if (!selected || selected->type == REDIS_REPLY_ERROR) {
            fprintf(stderr, "stream_consumer: SELECT %s failed\n", database);
            return 2;
        }
        freeReplyObject(selected);
    }
    redisReply* created = static_cast<redisReply*>(redisCommand(redis, "XGROUP CREATE %s %s 0 MKSTREAM", stream, group));
    if (!created || (created->type == REDIS_REPLY_ERROR && strncmp(created->str, "BUSYGROUP", 9) != 0)) {
        fprintf(stderr, "stream_consumer: XGROUP CREATE failed: %s\n", created ? created->str : redis->errstr);
        return 2;
    }
    freeReplyObject(created);

    std::map<long, int> seen;
    std::set<std::string> ids;
    unsigned badIds = 0;
    unsigned entries = 0, wrongBody = 0, wrongFields = 0, unknown = 0;
    for (int idle = 0; idle < 3;) {
        redisReply* read = static_cast<redisReply*>(
            redisCommand(redis, "XREADGROUP GROUP %s checker COUNT 500 BLOCK 200 STREAMS %s >", group, stream));
        if (!read) {
            fprintf(stderr, "stream_consumer: XREADGROUP failed: %s\n", redis->errstr);
            return 2;
        }
        if (read->type != REDIS_REPLY_ARRAY || read->elements == 0) {
            ++idle;
            freeReplyObject(read);
            continue;
        }
        idle = 0;
        redisReply* items = read->element[0]->element[1];
        std::vector<const char*> ack = {"XACK", stream, group};
        for (size_t i = 0; i < items->elements; ++i) {
            redisReply* item = items->element[i];
            std::map<std::string, std::string> fields;
            for (size_t f = 0; f + 1 < item->element[1]->elements; f += 2)
                fields[Text(item->element[1]->element[f])] = Text(item->element[1]->element[f + 1]);
            ++entries;
            if (fields["id"].empty() || !ids.insert(fields["id"]).second) ++badIds;
            long id = PrinterBodyId(fields["body"]);
            auto sent = sentTo.find(id);
            if (sent == sentTo.end()) {
                ++unknown;
            } else {
                ++seen[id];
                if (fields["body"] != PrinterBody(static_cast<unsigned>(id))) ++wrongBody;
                const std::string listener = std::string(host) + ":" + std::to_string(sent->second);
                const std::string& received = fields["received"];
                if (fields["bytes"] != std::to_string(fields["body"].size()) || fields["listener"] != listener ||
                    received.size() != 27 || received[10] != 'T' || received.back() != 'Z') {
                    if (++wrongFields <= 3)
                        fprintf(stderr, "stream_consumer: entry of %ld: bytes=%s listener=%s (sent to %s) received=%s\n", id,
                                fields["bytes"].c_str(), fields["listener"].c_str(), listener.c_str(), received.c_str());
                }
            }
            ack.push_back(item->element[0]->str);
        }
        redisReply* acked = static_cast<redisReply*>(redisCommandArgv(redis, static_cast<int>(ack.size()), ack.data(), nullptr));
        if (!acked || acked->type != REDIS_REPLY_INTEGER || static_cast<size_t>(acked->integer) != items->elements) {
            fprintf(stderr, "stream_consumer: XACK failed: %s\n", acked && acked->type == REDIS_REPLY_ERROR ? acked->str : redis->errstr);
            return 2;
        }
        freeReplyObject(acked);
        freeReplyObject(read);
    }
    unsigned missing = 0, twice = 0;
    for (const auto& sent : sentTo) {
        auto found = seen.find(sent.first);
        if (found == seen.end()) ++missing;
        else if (found->second > 1) ++twice;
    }
    redisFree(redis);
    printf("stream_consumer: %u entries for %zu sent bodies: %u missing, %u more than once, %u unknown, %u bodies differ, %u with wrong fields, %u without an id of their own\n",
           entries, sentTo.size(), missing, twice, unknown, wrongBody, wrongFields, badIds);
    return missing == 0 && twice == 0 && unknown == 0 && wrongBody == 0 && wrongFields == 0 && badIds == 0 ? 0 : 1;
}
