// registry_text.cpp -- parses and writes .reg text; tolerant on input, regedit-like on output.
#include "RegistryText.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace kvreg {

const char kRegHeader5[] = "Windows Registry Editor Version 5.00";
const char kRegHeader4[] = "REGEDIT4";

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    return CompareNoCase(std::string(s.substr(0, prefix.size())), std::string(prefix)) == 0;
}

// A quoted name or string starting at s[pos] == '"'. Only \\ and \" are escapes, as for regedit;
// any other backslash stands for itself. Leaves pos after the closing quote.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out) {
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
            out += s[++pos];
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

// "01,ab, 2 ,ff," -- one or two hex digits per byte; blanks around them and one final comma.
bool ParseHexBytes(std::string_view s, std::string& out) {
    size_t i = 0;
    for (;;) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i == s.size()) return true;
        int value = 0, digits = 0;
        while (i < s.size() && digits < 2 && HexDigit(s[i]) >= 0) value = value * 16 + HexDigit(s[i++]), ++digits;
        if (digits == 0) return false;
        out += static_cast<char>(value);
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i == s.size()) return true;
        if (s[i] != ',') return false;
        ++i;
    }
}

// UTF-16LE to the store's narrow bytes, unit by unit: the inverse of widening each byte.
std::string NarrowUtf16(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2 + 1);
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    if (i < bytes.size()) out += bytes[i];  // an odd last byte cannot be a unit: keep it as it is
    return out;
}

std::string WidenUtf16(const std::string& narrow) {
    std::string out;
    out.reserve(narrow.size() * 2);
    for (char c : narrow) {
        out += c;
        out += '\0';
    }
    return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

class TextApplier {
public:
    TextApplier(RegKey& top, std::vector<std::string_view> lines) : mTop(top), mLines(std::move(lines)) {}

    RegTextSummary Run() {
        size_t i = 0;
        while (i < mLines.size() && TrimBlanks(mLines[i]).empty()) ++i;
        if (i < mLines.size()) {
            std::string_view first = TrimBlanks(mLines[i]);
            if (first == kRegHeader5) {
                mSummary.hasHeader = true;
                ++i;
            } else if (first == kRegHeader4) {
                mSummary.hasHeader = true;
                mWideStrings = false;
                ++i;
            }
        }
        while (i < mLines.size()) {
            size_t number = i + 1;
            std::string_view line = TrimBlanks(mLines[i++]);
            if (line.empty() || line.front() == ';') continue;
            bool ok = false;
            if (line.front() == '[') {
                ok = Section(line);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = Value(line, i);
            }
            if (!ok) Skipped(number);
        }
        return mSummary;
    }

    // Counts a line that could not be used, and remembers the first.
    void Skipped(size_t number) {
        if (++mSummary.skippedLines == 1) {
            mSummary.firstBadLine = number;
            mSummary.firstBadText = std::string(mLines[number - 1]);
        }
    }

private:
    bool Section(std::string_view line) {
        mCurrent = nullptr;
        if (line.back() != ']' || line.size() < 3) return false;
        std::string_view inner = line.substr(1, line.size() - 2);
        bool remove = inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        size_t slash = inner.find('\\');
        std::vector<std::string> path;
        if (!RootPath(std::string(inner.substr(0, slash)), path)) {
            ++mSummary.unknownRoots;
            return false;
        }
        std::vector<std::string> rest;
        if (slash != std::string_view::npos) {
            size_t start = inner.find_first_not_of('\\', slash);
            if (start != std::string_view::npos &&
                SplitKeyPath(std::string(inner.substr(start)).c_str(), rest) != ERROR_SUCCESS)
                return false;
        }
        if (remove) {
            if (rest.empty()) return false;  // regedit never deletes a root
            path.insert(path.end(), rest.begin(), rest.end() - 1);
            if (RegKey* parent = mTop.Find(path)) parent->RemoveSubkey(rest.back());
            return true;
        }
        path.insert(path.end(), rest.begin(), rest.end());
        mCurrent = &mTop.Ensure(path);
        return true;
    }

    // Parses one value line (and its continuation lines, advancing `next` past them).
    bool Value(std::string_view line, size_t& next) {
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, pos, name)) {
            return false;
        }
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos == line.size() || line[pos] != '=') return false;
        std::string_view data = TrimBlanks(line.substr(pos + 1));
        if (data.empty()) return false;

        if (data.front() == '"') {
            size_t end = 0;
            std::string text;
            if (!ReadQuoted(data, end, text) || !TrimBlanks(data.substr(end)).empty()) return false;
            text += '\0';
            return Set(name, REG_SZ, text);
        }
        if (data == "-") {
            if (mCurrent) mCurrent->RemoveValue(name);
            return true;
        }
        if (StartsWithNoCase(data, "dword:")) {
            std::string_view digits = data.substr(6);
            if (digits.empty() || digits.size() > 8) return false;
            DWORD value = 0;
            for (char c : digits) {
                if (HexDigit(c) < 0) return false;
                value = value * 16 + HexDigit(c);
            }
            std::string bytes(4, '\0');
            for (int b = 0; b < 4; ++b) bytes[b] = static_cast<char>((value >> (8 * b)) & 0xFF);
            return Set(name, REG_DWORD, bytes);
        }
        if (StartsWithNoCase(data, "hex")) {
            std::string_view rest = data.substr(3);
            DWORD type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos || close == 1 || close > 9) return false;
                type = 0;
                for (char c : rest.substr(1, close - 1)) {
                    if (HexDigit(c) < 0) return false;
                    type = type * 16 + HexDigit(c);
                }
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':') return false;
            std::string body(rest.substr(1));
            // Long data continue on the next lines, each line but the last ending in a backslash.
            for (;;) {
                std::string_view trimmed = TrimBlanks(body);
                if (trimmed.empty() || trimmed.back() != '\\') break;
                body.assign(trimmed.substr(0, trimmed.size() - 1));
                if (next >= mLines.size()) break;
                body += ' ';
                body += mLines[next++];
            }
            std::string bytes;
            if (!ParseHexBytes(body, bytes)) return false;
            if (IsStringType(type) && mWideStrings) bytes = NarrowUtf16(bytes);
            return Set(name, type, bytes);
        }
        return false;
    }

    // A value with no key to go to is lost: it counts as a line that could not be used.
    bool Set(const std::string& name, DWORD type, const std::string& data) {
        if (!mCurrent) return false;
        mCurrent->SetValue(name, type, data);
        return true;
    }

    RegKey& mTop;
    std::vector<std::string_view> mLines;
    RegKey* mCurrent = nullptr;
    bool mWideStrings = true;  // REGEDIT4 files hold string types as narrow bytes
    RegTextSummary mSummary;
};

std::string Escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// A REG_SZ fits "name"="text" when it is text with exactly one NUL, at its end, and no line break.
bool IsPlainString(const std::string& data) {
    if (data.empty() || data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') return false;
    return true;
}

void AppendValue(std::string& out, const RegValue& value) {
    std::string line = value.name.empty() ? std::string("@=") : "\"" + Escaped(value.name) + "\"=";
    char buffer[32];
    if (value.type == REG_SZ && IsPlainString(value.data)) {
        line += "\"" + Escaped(std::string_view(value.data).substr(0, value.data.size() - 1)) + "\"";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD dword = 0;
        for (int b = 3; b >= 0; --b) dword = (dword << 8) | static_cast<unsigned char>(value.data[b]);
        snprintf(buffer, sizeof(buffer), "dword:%08x", static_cast<unsigned>(dword));
        line += buffer;
    } else {
        if (value.type == REG_BINARY) {
            line += "hex:";
        } else {
            snprintf(buffer, sizeof(buffer), "hex(%x):", static_cast<unsigned>(value.type));
            line += buffer;
        }
        std::string bytes = IsStringType(value.type) ? WidenUtf16(value.data) : value.data;
        size_t column = line.size();
        for (size_t i = 0; i < bytes.size(); ++i) {
            bool last = i + 1 == bytes.size();
            snprintf(buffer, sizeof(buffer), last ? "%02x" : "%02x,", static_cast<unsigned char>(bytes[i]));
            line += buffer;
            column += last ? 2 : 3;
            if (!last && column >= 76) {
                line += "\\\n  ";
                column = 2;
            }
        }
    }
    out += line;
    out += '\n';
}

void AppendTree(std::string& out, const RegKey& key, std::vector<std::string>& path) {
    // A root with nothing of its own needs no section: its subkeys' sections imply it.
    if (path.size() > 1 || !key.values().empty()) {
        out += '[';
        out += JoinKeyPath(path);
        out += "]\n";
        for (const RegValue& value : key.values()) AppendValue(out, value);
        out += '\n';
    }
    for (const auto& entry : key.subkeys()) {
        path.push_back(entry.second->name());
        AppendTree(out, *entry.second, path);
        path.pop_back();
    }
}

std::string Header() { return std::string(kRegHeader5) + "\n\n"; }

}  // namespace

std::string DecodeRegFileBytes(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        return NarrowUtf16(std::string_view(bytes).substr(2));
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

bool HasRegHeader(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line = std::string_view(text).substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = TrimBlanks(line);
        if (!line.empty()) return line == kRegHeader5 || line == kRegHeader4;
        start = end + 1;
    }
    return false;
}

RegTextSummary ApplyRegText(const std::string& text, RegKey& top) {
    std::vector<std::string_view> lines = SplitLines(text);
    RegTextSummary summary = TextApplier(top, lines).Run();
    // A NUL byte has no place in text: the file is something else, whatever parsed in it.
    size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        summary.notText = true;
        summary.firstBadLine = static_cast<size_t>(std::count(text.begin(), text.begin() + nul, '\n')) + 1;
        summary.firstBadText = std::string(lines[summary.firstBadLine - 1]);
    }
    return summary;
}

std::string FormatStoreText(const RegKey& top) {
    std::string out = Header();
    std::vector<std::string> path;
    for (const auto& entry : top.subkeys()) {
        path.assign(1, entry.second->name());
        AppendTree(out, *entry.second, path);
    }
    return out;
}

std::string FormatKeyText(const RegKey& key, const std::vector<std::string>& path) {
    std::string out = Header();
    std::vector<std::string> walk = path;
    AppendTree(out, key, walk);
    return out;
}

}  // namespace kvreg
