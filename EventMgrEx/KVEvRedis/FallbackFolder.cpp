// FallbackFolder.cpp -- the fallback file's first line, written and read.
#include "FallbackFolder.h"

#include <stdio.h>
#include <string.h>

#include <openssl/sha.h>

#include "UtcTime.h"

namespace {

const char kMark[] = "KVEvRedis-entry ";

std::string Field(const std::string& line, const char* name) {
    const std::string key = std::string(" ") + name + "=";
    size_t at = (" " + line).find(key);
    if (at == std::string::npos) return std::string();
    at += key.size() - 1;
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

namespace FallbackFolder {

bool Keep(const StreamEntry& entry, const std::string& folder, std::string* name) {
    std::string file = std::string(kMark) + "id=" + entry.id + " received=" + entry.received + " listener=" + entry.listener + "\n";
    file += entry.body;
    return SpoolFolder::Open(folder)->Store(file, name);
}

StreamEntry Read(const SpoolFolder::StoredMessage& stored, const std::string& folder, const std::string& listener) {
    StreamEntry entry;
    const size_t end = stored.bytes.find('\n');
    if (stored.bytes.compare(0, sizeof(kMark) - 1, kMark) == 0 && end != std::string::npos) {
        const std::string line = stored.bytes.substr(sizeof(kMark) - 1, end - (sizeof(kMark) - 1));
        entry.id = Field(line, "id");
        entry.received = Field(line, "received");
        entry.listener = Field(line, "listener");
        entry.body = stored.bytes.substr(end + 1);
    }
    if (entry.id.empty()) {
        // Written by an earlier version: the body alone, which arrived when the file was written.
        entry.body = stored.bytes;
        entry.received = UtcTime::Of(stored.stored);
        entry.listener = listener;
        const std::string seed = folder + "|" + stored.name + "|" + stored.bytes;
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(seed.data()), seed.size(), digest);
        char hex[2 * SHA_DIGEST_LENGTH + 1];
        for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        entry.id = std::string("file-") + hex;
    }
    return entry;
}

}  // namespace FallbackFolder
