// RegistrarScript.cpp -- interprets registration scripts: expand variables, parse the whole text, then apply it to the registry.
#include "RegistrarScript.h"

#include <new>

#ifndef HKEY_DYN_DATA
// Windows 9x's dynamic data root: still a name the language knows, backed by nothing now.
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))
#endif

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return i == a.size() && !b[i];
}

// A script that cannot be read; the message says where and why.
struct SyntaxError {
    std::string message;
};

// Line number (from 1) of `offset` in `text`, for messages.
std::string LineOf(const std::string& text, size_t offset) {
    size_t line = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') ++line;
    }
    return "line " + std::to_string(line);
}

// ---- Variables -------------------------------------------------------------------------------

std::string Expand(const char* text, size_t length, const std::vector<std::pair<std::string, std::string>>& vars) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\0') throw SyntaxError{"NUL character at offset " + std::to_string(i)};
        if (c != '%') {
            out += c;
            continue;
        }
        size_t end = i + 1;
        while (end < length && text[end] != '%' && text[end] != '\0' && text[end] != '\n') ++end;
        if (end >= length || text[end] != '%')
            throw SyntaxError{"unterminated replacement variable at offset " + std::to_string(i)};
        std::string name(text + i + 1, end - i - 1);
        if (name.empty()) {
            out += '%';  // "%%"
        } else {
            const std::string* value = nullptr;
            for (const auto& var : vars) {
                if (EqualsNoCase(name, var.first.c_str())) {
                    value = &var.second;
                    break;
                }
            }
            if (!value) throw SyntaxError{"unknown replacement variable %" + name + "%"};
            out += *value;
        }
        i = end;
    }
    return out;
}

// ---- Tokens ----------------------------------------------------------------------------------

struct Token {
    std::string text;
    bool quoted;
    size_t offset;

    bool Is(const char* bare) const { return !quoted && EqualsNoCase(text, bare); }
    // '{', '}' and '=' on their own are structure, never names.
    bool IsStructure() const { return !quoted && (text == "{" || text == "}" || text == "="); }
};

std::vector<Token> Tokenize(const std::string& text) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < text.size()) {
        if (IsSpace(text[i])) {
            ++i;
            continue;
        }
        Token token{std::string(), false, i};
        if (text[i] == '\'') {
            token.quoted = true;
            ++i;
            for (;;) {
                if (i >= text.size()) throw SyntaxError{"unterminated quoted string at " + LineOf(text, token.offset)};
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        token.text += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                token.text += text[i++];
            }
        } else {
            while (i < text.size() && !IsSpace(text[i])) token.text += text[i++];
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

// ---- Parse tree ------------------------------------------------------------------------------

enum class EntryKind { Key, Value, DeleteKey };
enum class KeyFlag { None, ForceRemove, NoRemove };

struct Entry {
    EntryKind kind = EntryKind::Key;
    KeyFlag flag = KeyFlag::None;
    std::string name;
    bool hasData = false;
    DWORD type = REG_NONE;
    std::string data;  // the bytes RegSetValueExA receives
    std::vector<Entry> children;
};

struct RootBlock {
    HKEY root;
    std::string name;
    std::vector<Entry> entries;
};

struct RootName {
    const char* shortName;
    const char* longName;
    HKEY key;
};

const RootName kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKPD", "HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKDD", "HKEY_DYN_DATA", HKEY_DYN_DATA},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

class Parser {
public:
    Parser(const std::string& text, std::vector<Token> tokens) : mText(text), mTokens(std::move(tokens)) {}

    std::vector<RootBlock> Parse() {
        std::vector<RootBlock> roots;
        while (mPos < mTokens.size()) {
            const Token& name = Next("a root key");
            RootBlock block{nullptr, name.text, {}};
            for (const RootName& root : kRoots) {
                if (name.Is(root.shortName) || name.Is(root.longName)) block.root = root.key;
            }
            if (!block.root) Fail(name, "unknown root key '" + name.text + "'");
            Expect("{");
            ParseEntries(block.entries);
            roots.push_back(std::move(block));
        }
        return roots;
    }

private:
    // Entries up to and including the closing brace.
    void ParseEntries(std::vector<Entry>& entries) {
        for (;;) {
            const Token& token = Next("an entry or '}'");
            if (token.Is("}")) return;
            Entry entry;
            const Token* nameToken = &token;
            if (token.Is("Delete")) {
                entry.kind = EntryKind::DeleteKey;
                nameToken = &Next("a key name after Delete");
            } else if (token.Is("val")) {
                entry.kind = EntryKind::Value;
                nameToken = &Next("a value name after val");
            } else if (token.Is("ForceRemove")) {
                entry.flag = KeyFlag::ForceRemove;
                nameToken = &Next("a key name after ForceRemove");
            } else if (token.Is("NoRemove")) {
                entry.flag = KeyFlag::NoRemove;
                nameToken = &Next("a key name after NoRemove");
            }
            if (nameToken->IsStructure()) Fail(*nameToken, "a name was expected, not '" + nameToken->text + "'");
            entry.name = nameToken->text;
            if (entry.kind != EntryKind::Value) {
                if (entry.name.empty()) Fail(*nameToken, "empty key name");
                if (entry.name.find('\\') != std::string::npos)
                    Fail(*nameToken, "key name '" + entry.name + "' names more than one key");
            }

            if (Peek("=")) {
                ++mPos;
                ParseData(entry);
            } else if (entry.kind == EntryKind::Value) {
                Fail(*nameToken, "val '" + entry.name + "' has no '=' and data");
            }

            if (Peek("{")) {
                if (entry.kind != EntryKind::Key)
                    Fail(mTokens[mPos], "'" + entry.name + "' cannot have entries of its own");
                ++mPos;
                ParseEntries(entry.children);
            }
            entries.push_back(std::move(entry));
        }
    }

    void ParseData(Entry& entry) {
        const Token& type = Next("a type letter (s or d)");
        const Token& value = Next("the data");
        if (value.IsStructure()) Fail(value, "data was expected, not '" + value.text + "'");
        if (type.Is("s")) {
            entry.type = REG_SZ;
            entry.data = value.text;
            entry.data += '\0';
        } else if (type.Is("d")) {
            entry.type = REG_DWORD;
            DWORD number = ParseNumber(value);
            entry.data.assign(reinterpret_cast<const char*>(&number), sizeof(number));
        } else {
            Fail(type, "unsupported type '" + type.text + "' (s and d are known)");
        }
        entry.hasData = true;
    }

    DWORD ParseNumber(const Token& token) {
        const std::string& text = token.text;
        unsigned long long value = 0;
        size_t i = 0;
        unsigned base = 10;
        if (text.size() > 2 && text[0] == '0' && Lower(text[1]) == 'x') {
            base = 16;
            i = 2;
        }
        if (i >= text.size()) Fail(token, "'" + text + "' is not a number");
        for (; i < text.size(); ++i) {
            char c = Lower(text[i]);
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (base == 16 && c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else
                Fail(token, "'" + text + "' is not a number");
            value = value * base + digit;
            if (value > 0xFFFFFFFFull) Fail(token, "'" + text + "' does not fit 32 bits");
        }
        return static_cast<DWORD>(value);
    }

    const Token& Next(const char* what) {
        if (mPos >= mTokens.size()) throw SyntaxError{std::string("end of script where ") + what + " was expected"};
        return mTokens[mPos++];
    }

    bool Peek(const char* bare) const { return mPos < mTokens.size() && mTokens[mPos].Is(bare); }

    void Expect(const char* bare) {
        const Token& token = Next(bare);
        if (!token.Is(bare)) Fail(token, std::string("'") + bare + "' was expected, not '" + token.text + "'");
    }

    [[noreturn]] void Fail(const Token& at, const std::string& why) {
        throw SyntaxError{why + " (" + LineOf(mText, at.offset) + ")"};
    }

    const std::string& mText;
    std::vector<Token> mTokens;
    size_t mPos = 0;
};

// ---- Applying --------------------------------------------------------------------------------

class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (mKey) RegCloseKey(mKey);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    HKEY get() const { return mKey; }
    HKEY* put() { return &mKey; }

private:
    HKEY mKey = nullptr;
};

bool IsMissing(LSTATUS status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

class Applier {
public:
    explicit Applier(std::string& error) : mError(error) {}

    HRESULT Register(HKEY parent, const std::string& path, const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            std::string where = path + "\\" + entry.name;
            LSTATUS status = ERROR_SUCCESS;
            switch (entry.kind) {
            case EntryKind::DeleteKey:
                status = RegDeleteTreeA(parent, entry.name.c_str());
                if (status != ERROR_SUCCESS && !IsMissing(status)) return Failed("deleting", where, status);
                break;
            case EntryKind::Value:
                status = SetValue(parent, entry.name.c_str(), entry);
                if (status != ERROR_SUCCESS) return Failed("setting the value", path + " : " + entry.name, status);
                break;
            case EntryKind::Key: {
                if (entry.flag == KeyFlag::ForceRemove) {
                    status = RegDeleteTreeA(parent, entry.name.c_str());
                    if (status != ERROR_SUCCESS && !IsMissing(status)) return Failed("removing", where, status);
                }
                ScopedKey key;
                status = RegCreateKeyExA(parent, entry.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
                if (status != ERROR_SUCCESS) return Failed("creating", where, status);
                if (entry.hasData) {
                    status = SetValue(key.get(), nullptr, entry);
                    if (status != ERROR_SUCCESS) return Failed("setting the default value of", where, status);
                }
                HRESULT hr = Register(key.get(), where, entry.children);
                if (FAILED(hr)) return hr;
                break;
            }
            }
        }
        return S_OK;
    }

    HRESULT Unregister(HKEY parent, const std::string& path, const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            std::string where = path + "\\" + entry.name;
            LSTATUS status = ERROR_SUCCESS;
            switch (entry.kind) {
            case EntryKind::DeleteKey:
                break;  // Delete acts when registering only
            case EntryKind::Value:
                status = RegDeleteValueA(parent, entry.name.c_str());
                if (status != ERROR_SUCCESS && !IsMissing(status))
                    return Failed("removing the value", path + " : " + entry.name, status);
                break;
            case EntryKind::Key: {
                DWORD subkeys = 0;
                {
                    ScopedKey key;
                    status = RegOpenKeyExA(parent, entry.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
                    if (IsMissing(status)) break;  // nothing of it left to remove
                    if (status != ERROR_SUCCESS) return Failed("opening", where, status);
                    HRESULT hr = Unregister(key.get(), where, entry.children);
                    if (FAILED(hr)) return hr;
                    if (entry.flag == KeyFlag::NoRemove) break;
                    status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr);
                    if (status != ERROR_SUCCESS) return Failed("inspecting", where, status);
                }
                // Subkeys the script does not name belong to someone else: the key stays for them.
                if (subkeys != 0) break;
                status = RegDeleteKeyA(parent, entry.name.c_str());
                if (status != ERROR_SUCCESS && !IsMissing(status)) return Failed("deleting", where, status);
                break;
            }
            }
        }
        return S_OK;
    }

private:
    static LSTATUS SetValue(HKEY key, const char* name, const Entry& entry) {
        return RegSetValueExA(key, name, 0, entry.type, reinterpret_cast<const BYTE*>(entry.data.data()),
                              static_cast<DWORD>(entry.data.size()));
    }

    HRESULT Failed(const char* action, const std::string& where, LSTATUS status) {
        mError = std::string("registry error ") + std::to_string(status) + " " + action + " " + where;
        return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    }

    std::string& mError;
};

}  // namespace

void RegistrarScript::AddReplacement(const std::string& name, const std::string& value) {
    for (auto& var : mReplacements) {
        if (EqualsNoCase(var.first, name.c_str())) {
            var.second = value;
            return;
        }
    }
    mReplacements.emplace_back(name, value);
}

HRESULT RegistrarScript::Register(const char* text, size_t length) { return Run(text, length, true); }

HRESULT RegistrarScript::Unregister(const char* text, size_t length) { return Run(text, length, false); }

HRESULT RegistrarScript::Run(const char* text, size_t length, bool registering) {
    mLastError.clear();
    if (!text && length) return E_POINTER;
    try {
        std::vector<RootBlock> roots;
        try {
            std::string expanded = Expand(text, length, mReplacements);
            Parser parser(expanded, Tokenize(expanded));
            roots = parser.Parse();
        } catch (const SyntaxError& error) {
            mLastError = "syntax error: " + error.message;
            return DISP_E_EXCEPTION;
        }
        Applier applier(mLastError);
        for (const RootBlock& block : roots) {
            HRESULT hr = registering ? applier.Register(block.root, block.name, block.entries)
                                     : applier.Unregister(block.root, block.name, block.entries);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        mLastError.clear();
        return E_OUTOFMEMORY;
    }
}
