// PrinterBodies.h -- the distinct message bodies of the Redis end-to-end run, known to the load client and the consumer.
#pragma once

#include <stdio.h>

#include <string>

// Body number `id`: a Deliver message that names its number, then 200 to 3,000 bytes of every
// value from 0x01 to 0xFF, different for every number. From 90,000,000 on, bodies are large:
// about 3 MB of every byte value, NUL included (what a write after a closed connection needs).
inline std::string PrinterBody(unsigned id) {
    char head[96];
    snprintf(head, sizeof(head), "<Deliver><Id>%08u</Id><Payload>", id);
    std::string body = head;
    unsigned state = id * 2654435761u + 12345u;
    const bool large = id >= 90000000u;
    size_t length = large ? 3000000 + id % 1000 : 200 + (id * 7919u) % 2800;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        body += large ? static_cast<char>((state >> 16) & 0xFF) : static_cast<char>(1 + (state >> 16) % 255);
    }
    body += "</Payload></Deliver>";
    return body;
}

// The number a body names, or -1.
inline long PrinterBodyId(const std::string& body) {
    unsigned id = 0;
    return sscanf(body.c_str(), "<Deliver><Id>%8u</Id>", &id) == 1 ? static_cast<long>(id) : -1;
}
