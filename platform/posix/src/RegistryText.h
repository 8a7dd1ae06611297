// RegistryText.h -- reading and writing the registry as .reg text (regedit's export format).
#pragma once

#include "RegistryTree.h"

#include <string>

namespace kvreg {

extern const char kRegHeader5[];  // "Windows Registry Editor Version 5.00"
extern const char kRegHeader4[];  // "REGEDIT4"

// What a text held, besides its keys and values.
struct RegTextSummary {
    bool hasHeader = false;   // its first non-blank line is one of the two headers
    size_t skippedLines = 0;  // lines that could not be understood, values without a key included
    size_t unknownRoots = 0;  // of those, sections under a root the store does not have
    size_t firstBadLine = 0;  // the first of them, counted from 1 (0: none)
    std::string firstBadText; // that line as it stands
    bool notText = false;     // a NUL byte stands in the text (then firstBadLine is its line)
};

// Turns the bytes of a .reg file into the narrow text ApplyRegText reads: UTF-16LE (with its byte
// order mark) is narrowed unit by unit, units above 0xFF becoming '?'; a UTF-8 byte order mark
// is dropped; anything else is taken as it is.
std::string DecodeRegFileBytes(const std::string& bytes);

// Whether the first non-blank line of `text` is one of the two headers.
bool HasRegHeader(const std::string& text);

// Applies .reg text to `top` (the top of the store, holding the root keys) with regedit's
// meaning: "[key]" creates the key and selects it, "[-key]" deletes its tree, "name"="..." /
// dword: / hex(N): set values, "name"=- deletes one. Lines that cannot be understood are
// skipped, and so are values with no key to go to (under a section that could not be
// understood, or before any); the summary counts them and names the first. Never throws on any
// input other than running out of memory.
RegTextSummary ApplyRegText(const std::string& text, RegKey& top);

// The whole store as .reg text: every key with its values, parents before children.
std::string FormatStoreText(const RegKey& top);

// One key and its subtree as .reg text with the header; `path` is its path from the top.
std::string FormatKeyText(const RegKey& key, const std::vector<std::string>& path);

}  // namespace kvreg
