// registry_fuzz.cpp -- libFuzzer target: the registry store's parser, over any bytes a .reg file may hold.
//
// The bytes are decoded and applied as the store reads its file; what that made is written out
// as the store writes its file, and read back. Invariants, any breach aborts: the parser never
// crashes or throws (but for memory), the text it writes reads back without a skipped line, and
// reading it back gives the same store (written out again, the same text).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "RegistryText.h"
#include "RegistryTree.h"

namespace {
void Require(bool holds, const char* what) {
    if (holds) return;
    fprintf(stderr, "the registry text breaks its promise: %s\n", what);
    abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    kvreg::RegKey first;
    kvreg::ApplyRegText(kvreg::DecodeRegFileBytes(bytes), first);
    const std::string written = kvreg::FormatStoreText(first);

    kvreg::RegKey second;
    kvreg::RegTextSummary summary = kvreg::ApplyRegText(kvreg::DecodeRegFileBytes(written), second);
    Require(summary.hasHeader, "the written text has no header");
    Require(summary.skippedLines == 0, "the written text has a line the parser skips");
    Require(kvreg::FormatStoreText(second) == written, "the store read back differs");
    return 0;
}
