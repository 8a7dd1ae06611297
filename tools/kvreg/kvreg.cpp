// kvreg.cpp -- the registry tool of the POSIX build: reg.exe's add, query, delete, import, export.
//
// Differences from reg.exe: there is no prompt, so where reg.exe would ask, kvreg refuses and
// says which switch (/f or /y) confirms; remote keys and HKEY_CURRENT_CONFIG do not exist; /reg:32
// and /reg:64 are accepted and mean the one registry there is; export writes the store's own
// text (bytes as stored, LF line ends) where reg.exe writes UTF-16, and import reads both. Results
// go to standard output, errors to standard error; the exit code is 0 on success, 1 on failure.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "StoreAccess.h"
#include "SystemMessage.h"

namespace {

const int kSuccess = 0;
const int kFailure = 1;

const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.";

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool IsSwitch(const std::string& arg, const char* name) {
    return arg.size() > 1 && (arg[0] == '/' || arg[0] == '-') && SameText(arg.substr(1), name);
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    return text;
}

int Fail(const std::string& message) {
    fprintf(stderr, "%s\n", message.c_str());
    return kFailure;
}

int SyntaxError(const char* operation) {
    return Fail(std::string("ERROR: Invalid syntax.\nType \"KVREG ") + Upper(operation) + " /?\" for usage.");
}

int Succeeded() {
    printf("The operation completed successfully.\n");
    return kSuccess;
}

// Why the store cannot be read completely, as kvreg reports it; empty when it can.
std::string StoreDamage() {
    char description[1024] = {};
    if (KvRegCheckStore(description, sizeof(description)) != ERROR_BADDB) return std::string();
    return std::string("ERROR: The registry store ") + description +
           "\nkvreg shows and changes nothing in it until it is mended.";
}

std::string StatusText(LSTATUS status) {
    switch (status) {
    case ERROR_BADDB: {
        std::string damage = StoreDamage();
        return damage.empty() ? "ERROR: The registry store cannot be read completely." : damage;
    }
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_KEY_DELETED:
        return kNotFound;
    case ERROR_ACCESS_DENIED:
        return "ERROR: Access is denied.";
    case ERROR_INVALID_PARAMETER:
    case ERROR_BAD_PATHNAME:
        return "ERROR: The parameter is incorrect.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "ERROR: Not enough memory.";
    default: {
        char text[96];
        snprintf(text, sizeof(text), "ERROR: The registry could not be accessed (error %ld).", static_cast<long>(status));
        return text;
    }
    }
}

// A key given on the command line: its root handle, the path below it, and how to print it.
struct KeyName {
    HKEY root = nullptr;
    std::string subkey;   // without leading or trailing backslashes
    std::string display;  // long root name + "\" + subkey, as reg.exe prints it
};

bool ParseKeyName(const std::string& text, KeyName& key) {
    static const struct {
        const char* shortName;
        const char* longName;
        HKEY root;
    } kRoots[] = {
        {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKU", "HKEY_USERS", HKEY_USERS},
    };
    size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    for (const auto& entry : kRoots) {
        if (!SameText(root, entry.shortName) && !SameText(root, entry.longName)) continue;
        key.root = entry.root;
        key.subkey = slash == std::string::npos ? std::string() : text.substr(slash + 1);
        while (!key.subkey.empty() && key.subkey.back() == '\\') key.subkey.pop_back();
        while (!key.subkey.empty() && key.subkey.front() == '\\') key.subkey.erase(0, 1);
        key.display = entry.longName;
        if (!key.subkey.empty()) key.display += "\\" + key.subkey;
        return true;
    }
    return false;
}

int InvalidKey(const char* operation) {
    return Fail(std::string("ERROR: Invalid key name.\nType \"KVREG ") + Upper(operation) + " /?\" for usage.");
}

// ---- Values as text ---------------------------------------------------------------------------

struct TypeName {
    DWORD type;
    const char* name;
};
const TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},         {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},           {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},         {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"}, {REG_QWORD, "REG_QWORD"},
};

std::string TypeText(DWORD type) {
    for (const TypeName& entry : kTypes)
        if (entry.type == type) return entry.name;
    char text[32];
    snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(type));
    return text;
}

std::string HexText(const std::string& data) {
    std::string text;
    char digits[4];
    for (unsigned char byte : data) {
        snprintf(digits, sizeof(digits), "%02X", byte);
        text += digits;
    }
    return text;
}

std::string DataText(DWORD type, const std::string& data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return data.substr(0, data.find('\0'));
    case REG_MULTI_SZ: {
        // reg.exe shows the strings joined by a literal \0.
        std::string text;
        size_t start = 0;
        while (start < data.size() && data[start] != '\0') {
            size_t end = data.find('\0', start);
            if (end == std::string::npos) end = data.size();
            if (!text.empty()) text += "\\0";
            text.append(data, start, end - start);
            start = end + 1;
        }
        return text;
    }
    case REG_DWORD:
        if (data.size() == 4) {
            DWORD value;
            memcpy(&value, data.data(), 4);
            char text[16];
            snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(value));
            return text;
        }
        return HexText(data);
    case REG_QWORD:
        if (data.size() == 8) {
            ULONGLONG value;
            memcpy(&value, data.data(), 8);
            char text[24];
            snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
            return text;
        }
        return HexText(data);
    default:
        return HexText(data);
    }
}

void PrintValue(const std::string& name, DWORD type, const std::string& data) {
    printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeText(type).c_str(),
           DataText(type, data).c_str());
}

// Reads value `index` of an open key; false at the end (or on an error, which ends a listing too).
bool EnumValue(HKEY key, DWORD index, std::string& name, DWORD& type, std::string& data) {
    DWORD nameMax = 0, dataMax = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameMax, &dataMax,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    for (int attempt = 0; attempt < 8; ++attempt) {  // the store can change between the two calls
        std::vector<char> nameBuffer(nameMax + 1);
        std::vector<BYTE> dataBuffer(dataMax + 1);
        DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
        DWORD dataLength = static_cast<DWORD>(dataBuffer.size());
        LSTATUS rc = RegEnumValueA(key, index, nameBuffer.data(), &nameLength, nullptr, &type, dataBuffer.data(),
                                   &dataLength);
        if (rc == ERROR_SUCCESS) {
            name.assign(nameBuffer.data(), nameLength);
            data.assign(reinterpret_cast<const char*>(dataBuffer.data()), dataLength);
            return true;
        }
        if (rc != ERROR_MORE_DATA) return false;
        nameMax = nameMax * 2 + 64;
        dataMax = dataLength > dataMax ? dataLength : dataMax * 2 + 64;
    }
    return false;
}

bool EnumSubkey(HKEY key, DWORD index, std::string& name) {
    char buffer[256];
    DWORD length = sizeof(buffer);
    if (RegEnumKeyExA(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    name.assign(buffer, length);
    return true;
}

LSTATUS QueryOne(HKEY key, const std::string& name, DWORD& type, std::string& data) {
    DWORD size = 0;
    LSTATUS rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    for (int attempt = 0; rc == ERROR_SUCCESS && attempt < 8; ++attempt) {
        std::vector<BYTE> buffer(size + 1);
        DWORD length = static_cast<DWORD>(buffer.size());
        rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, buffer.data(), &length);
        if (rc == ERROR_SUCCESS) {
            data.assign(reinterpret_cast<const char*>(buffer.data()), length);
            return rc;
        }
        if (rc == ERROR_MORE_DATA) {
            size = length;
            rc = ERROR_SUCCESS;
        }
    }
    return rc == ERROR_SUCCESS ? ERROR_MORE_DATA : rc;
}

// Closes a key on every way out.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (mKey) RegCloseKey(mKey);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return mKey; }
    HKEY* put() { return &mKey; }

private:
    HKEY mKey = nullptr;
};

// ---- Usage ------------------------------------------------------------------------------------

void PrintUsage() {
    char store[4096];
    DWORD length = KvRegGetStorePath(store, sizeof(store));
    printf("\nKVREG Operation [Parameter List]\n\n"
           "  Operation  [ QUERY | ADD | DELETE | IMPORT | EXPORT ]\n\n"
           "Return Code:\n  0 - Successful\n  1 - Failed\n\n"
           "For help on a specific operation type:\n  KVREG Operation /?\n\n"
           "Examples:\n  KVREG QUERY /?\n  KVREG ADD /?\n  KVREG DELETE /?\n  KVREG IMPORT /?\n  KVREG EXPORT /?\n\n"
           "The registry is one .reg file: KVLUMEN_REGISTRY names it, otherwise it is the\n"
           "machine's store " KVPOSIX_MACHINE_REGISTRY " (written by root, as HKLM needs an\n"
           "administrator on Windows).\n");
    if (length < sizeof(store)) printf("Now: %s\n", store);
}

void PrintKeyHelp() {
    printf("  KeyName    ROOTKEY\\SubKey\n"
           "    ROOTKEY  [ HKLM | HKCU | HKCR | HKU ] or their long names (HKEY_LOCAL_MACHINE, ...)\n"
           "    SubKey   The full name of a registry key under the selected ROOTKEY.\n"
           "             HKCR is HKLM\\Software\\Classes.\n\n");
}

void PrintAddUsage() {
    printf("\nKVREG ADD KeyName [{/v ValueName | /ve}] [/t Type] [/s Separator] [/d Data] [/f]\n\n");
    PrintKeyHelp();
    printf("  /v       The value name, under the selected Key, to add.\n"
           "  /ve      adds an empty value name (Default) for the key.\n"
           "  /t       RegKey data types\n"
           "           [ REG_SZ    | REG_MULTI_SZ | REG_EXPAND_SZ |\n"
           "             REG_DWORD | REG_QWORD    | REG_BINARY    | REG_NONE ]\n"
           "           If omitted, REG_SZ is assumed.\n"
           "  /s       Specify one character that you use as the separator in your data\n"
           "           string for REG_MULTI_SZ. If omitted, use \"\\0\" as the separator.\n"
           "  /d       The data to assign to the registry ValueName being added.\n"
           "           REG_DWORD takes 0 to 4294967295 and REG_QWORD 0 to 18446744073709551615,\n"
           "           decimal or 0x-prefixed hexadecimal; REG_BINARY and REG_NONE take\n"
           "           hexadecimal digits.\n"
           "  /f       Force overwriting the existing registry entry. kvreg never prompts:\n"
           "           without /f an existing value is left alone and the command fails.\n"
           "  /reg:32, /reg:64  Accepted; there is one registry.\n\n"
           "Examples:\n\n"
           "  KVREG ADD \"HKLM\\SOFTWARE\\Korvane\\KVLumen\\Logging\" /v KVLUMEN.EventListener /t REG_SZ "
           "/d \"file,/tmp/kvlisten.log,5\" /f\n"
           "  KVREG ADD HKLM\\Software\\MyCo /v Path /t REG_EXPAND_SZ /d \"%%HOME%%/data\" /f\n");
}

void PrintQueryUsage() {
    printf("\nKVREG QUERY KeyName [/v [ValueName] | /ve] [/s]\n\n");
    PrintKeyHelp();
    printf("  /v       Queries for a specific registry key value.\n"
           "           If omitted, all values for the key are queried.\n"
           "  /ve      Query for the default value or empty value name (Default).\n"
           "  /s       Queries all subkeys and values recursively (like dir /s).\n\n"
           "Examples:\n\n"
           "  KVREG QUERY HKLM\\Software\\Korvane\\KVLumen\\Logging /v KVLUMEN.EventListener\n"
           "  KVREG QUERY HKLM\\Software\\Korvane /s\n");
}

void PrintDeleteUsage() {
    printf("\nKVREG DELETE KeyName [{/v ValueName | /ve | /va}] [/f]\n\n");
    PrintKeyHelp();
    printf("  ValueName  The value name, under the selected Key, to delete.\n"
           "             When omitted, all subkeys and values under the Key are deleted.\n"
           "  /ve        delete the value of empty value name (Default).\n"
           "  /va        delete all values under this key.\n"
           "  /f         Forces the deletion. kvreg never prompts: without /f nothing is deleted.\n\n"
           "Examples:\n\n"
           "  KVREG DELETE HKLM\\Software\\MyCo\\MyApp\\Timeout /f\n"
           "  KVREG DELETE HKLM\\Software\\MyCo\\MyApp /v MTU /f\n");
}

void PrintImportUsage() {
    printf("\nKVREG IMPORT FileName\n\n"
           "  FileName  The name of the disk file to import (a .reg file, UTF-16 or UTF-8,\n"
           "            \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\").\n\n"
           "Examples:\n\n  KVREG IMPORT AppBkUp.reg\n");
}

void PrintExportUsage() {
    printf("\nKVREG EXPORT KeyName FileName [/y]\n\n");
    PrintKeyHelp();
    printf("  FileName  The name of the disk file to export to.\n"
           "  /y        Force overwriting the existing file. kvreg never prompts: without /y an\n"
           "            existing file is left alone and the command fails.\n\n"
           "Examples:\n\n  KVREG EXPORT HKLM\\Software\\MyCo\\MyApp AppBkUp.reg\n");
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (IsSwitch(arg, "?") || IsSwitch(arg, "h")) return true;
    return false;
}

// ---- Operations -------------------------------------------------------------------------------

bool ParseNumber(const std::string& text, ULONGLONG limit, ULONGLONG& value) {
    if (text.empty()) {
        value = 0;
        return true;
    }
    const char* digits = text.c_str();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits += 2;
        base = 16;
    }
    if (!*digits) return false;
    value = 0;
    for (const char* p = digits; *p; ++p) {
        int digit = (*p >= '0' && *p <= '9')                ? *p - '0'
                    : (base == 16 && *p >= 'a' && *p <= 'f') ? *p - 'a' + 10
                    : (base == 16 && *p >= 'A' && *p <= 'F') ? *p - 'A' + 10
                                                             : -1;
        if (digit < 0) return false;
        if (value > (limit - digit) / base) return false;
        value = value * base + digit;
    }
    return true;
}

bool ParseHexData(std::string text, std::string& data) {
    if (text.size() % 2) text.insert(0, "0");
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        data += static_cast<char>(strtoul(pair, nullptr, 16));
    }
    return true;
}

bool EncodeMultiString(const std::string& text, const std::string& separator, std::string& data) {
    if (text.empty()) {
        data.assign(2, '\0');
        return true;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + separator.size();
    }
    if (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // "a\0b\0" ends in a separator
    for (const std::string& part : parts) {
        if (part.empty()) return false;  // an empty string would end the list early
        data += part;
        data += '\0';
    }
    data += '\0';
    return true;
}

int Add(const std::vector<std::string>& args) {
    if (args.empty() || WantsHelp(args)) {
        PrintAddUsage();
        return args.empty() ? kFailure : kSuccess;
    }
    KeyName key;
    if (!ParseKeyName(args[0], key)) return InvalidKey("add");
    bool hasName = false, force = false, hasType = false, hasSeparator = false;
    std::string name, typeName = "REG_SZ", dataText, separator = "\\0";
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool more = i + 1 < args.size();
        if (IsSwitch(arg, "v") && more && !hasName) {
            hasName = true;
            name = args[++i];
        } else if (IsSwitch(arg, "ve") && !hasName) {
            hasName = true;
        } else if (IsSwitch(arg, "t") && more && !hasType) {
            hasType = true;
            typeName = args[++i];
        } else if (IsSwitch(arg, "s") && more && !hasSeparator) {
            hasSeparator = true;
            separator = args[++i];
            if (separator.size() != 1) return SyntaxError("add");
        } else if (IsSwitch(arg, "d") && more) {
            dataText = args[++i];
        } else if (IsSwitch(arg, "f")) {
            force = true;
        } else if (!IsSwitch(arg, "reg:32") && !IsSwitch(arg, "reg:64")) {
            return SyntaxError("add");
        }
    }
    DWORD type = REG_NONE;
    bool known = false;
    for (const TypeName& entry : kTypes) {
        if (SameText(typeName, entry.name)) {
            type = entry.type;
            known = true;
        }
    }
    if (!known || type == REG_LINK || (type >= 8 && type <= 10) || type == REG_DWORD_BIG_ENDIAN)
        return Fail("ERROR: Unsupported registry data type [" + typeName + "].");

    std::string data;
    ULONGLONG number = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        data = dataText + '\0';
        break;
    case REG_DWORD:
        // Like reg.exe, data that is no number of the type's range is a syntax error.
        if (!ParseNumber(dataText, 0xFFFFFFFFull, number)) return SyntaxError("add");
        data.assign(reinterpret_cast<const char*>(&number), 4);  // little-endian host
        break;
    case REG_QWORD:
        if (!ParseNumber(dataText, ~0ull, number)) return SyntaxError("add");
        data.assign(reinterpret_cast<const char*>(&number), 8);
        break;
    case REG_MULTI_SZ:
        if (!EncodeMultiString(dataText, separator, data))
            return Fail("ERROR: A REG_MULTI_SZ cannot hold an empty string between separators.");
        break;
    default:  // REG_BINARY, REG_NONE
        if (!ParseHexData(dataText, data)) return Fail("ERROR: The data must be hexadecimal digits.");
        break;
    }

    OpenKey opened;
    LSTATUS rc = RegCreateKeyExA(key.root, key.subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, opened.put(), nullptr);
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    if (!hasName) {
        if (hasType || !dataText.empty()) return SyntaxError("add");  // data needs /v or /ve
        return Succeeded();
    }
    if (!force && RegQueryValueExA(opened.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        return Fail("ERROR: The value '" + (name.empty() ? std::string("(Default)") : name) +
                    "' already exists. kvreg cannot ask whether to overwrite it: add /f to do so.");
    rc = RegSetValueExA(opened.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()));
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    return Succeeded();
}

// Prints a key's values (and, with `recurse`, its whole subtree) the way reg query does.
void QueryTree(HKEY key, const std::string& display, bool recurse) {
    printf("\n%s\n", display.c_str());
    std::string name, data;
    DWORD type = 0;
    bool any = false;
    for (DWORD i = 0; EnumValue(key, i, name, type, data); ++i) {
        PrintValue(name, type, data);
        any = true;
    }
    std::string subkey;
    if (!recurse) {
        if (any) printf("\n");
        for (DWORD i = 0; EnumSubkey(key, i, subkey); ++i) printf("%s\\%s\n", display.c_str(), subkey.c_str());
        return;
    }
    for (DWORD i = 0; EnumSubkey(key, i, subkey); ++i) {
        OpenKey child;
        if (RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            QueryTree(child.get(), display + "\\" + subkey, true);
    }
}

// reg query /s /v: every key of the subtree that has the value.
void SearchTree(HKEY key, const std::string& display, const std::string& name, size_t& matches) {
    DWORD type = 0;
    std::string data;
    if (QueryOne(key, name, type, data) == ERROR_SUCCESS) {
        printf("\n%s\n", display.c_str());
        PrintValue(name, type, data);
        ++matches;
    }
    std::string subkey;
    for (DWORD i = 0; EnumSubkey(key, i, subkey); ++i) {
        OpenKey child;
        if (RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            SearchTree(child.get(), display + "\\" + subkey, name, matches);
    }
}

int Query(const std::vector<std::string>& args) {
    if (args.empty() || WantsHelp(args)) {
        PrintQueryUsage();
        return args.empty() ? kFailure : kSuccess;
    }
    KeyName key;
    if (!ParseKeyName(args[0], key)) return InvalidKey("query");
    bool hasName = false, recurse = false;
    std::string name;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsSwitch(arg, "v") && i + 1 < args.size() && !hasName) {
            hasName = true;
            name = args[++i];
        } else if (IsSwitch(arg, "ve") && !hasName) {
            hasName = true;
        } else if (IsSwitch(arg, "s")) {
            recurse = true;
        } else if (!IsSwitch(arg, "reg:32") && !IsSwitch(arg, "reg:64")) {
            return SyntaxError("query");
        }
    }
    OpenKey opened;
    LSTATUS rc = RegOpenKeyExA(key.root, key.subkey.c_str(), 0, KEY_READ, opened.put());
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    if (!hasName) {
        QueryTree(opened.get(), key.display, recurse);
        if (recurse) printf("\n");
        return kSuccess;
    }
    if (recurse) {
        size_t matches = 0;
        SearchTree(opened.get(), key.display, name, matches);
        printf("End of search: %zu match(es) found.\n", matches);
        return kSuccess;
    }
    DWORD type = 0;
    std::string data;
    rc = QueryOne(opened.get(), name, type, data);
    if (rc == ERROR_FILE_NOT_FOUND && name.empty()) {
        printf("\n%s\n    (Default)    REG_SZ    (value not set)\n\n", key.display.c_str());
        return kSuccess;
    }
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    printf("\n%s\n", key.display.c_str());
    PrintValue(name, type, data);
    printf("\n");
    return kSuccess;
}

int Delete(const std::vector<std::string>& args) {
    if (args.empty() || WantsHelp(args)) {
        PrintDeleteUsage();
        return args.empty() ? kFailure : kSuccess;
    }
    KeyName key;
    if (!ParseKeyName(args[0], key)) return InvalidKey("delete");
    enum { kWholeKey, kOneValue, kAllValues } what = kWholeKey;
    bool force = false;
    std::string name;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsSwitch(arg, "v") && i + 1 < args.size() && what == kWholeKey) {
            what = kOneValue;
            name = args[++i];
        } else if (IsSwitch(arg, "ve") && what == kWholeKey) {
            what = kOneValue;
        } else if (IsSwitch(arg, "va") && what == kWholeKey) {
            what = kAllValues;
        } else if (IsSwitch(arg, "f")) {
            force = true;
        } else if (!IsSwitch(arg, "reg:32") && !IsSwitch(arg, "reg:64")) {
            return SyntaxError("delete");
        }
    }
    if (what == kWholeKey && key.subkey.empty()) return InvalidKey("delete");  // never a root
    OpenKey opened;
    LSTATUS rc = RegOpenKeyExA(key.root, key.subkey.c_str(), 0, KEY_READ | KEY_WRITE, opened.put());
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    if (what == kOneValue &&
        RegQueryValueExA(opened.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return Fail(kNotFound);
    if (!force) {
        const char* target = what == kWholeKey ? "the key and everything under it" : what == kOneValue ? "the value" : "all values of the key";
        return Fail(std::string("ERROR: kvreg cannot ask whether to delete ") + target + ": add /f to do so.");
    }
    switch (what) {
    case kWholeKey:
        rc = RegDeleteTreeA(key.root, key.subkey.c_str());
        break;
    case kOneValue:
        rc = RegDeleteValueA(opened.get(), name.c_str());
        break;
    case kAllValues: {
        std::string value, data;
        DWORD type = 0;
        // Deleting shifts the indexes: always take the first until none is left.
        while (rc == ERROR_SUCCESS && EnumValue(opened.get(), 0, value, type, data))
            rc = RegDeleteValueA(opened.get(), value.c_str());
        break;
    }
    }
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    return Succeeded();
}

int Import(const std::vector<std::string>& args) {
    if (args.size() != 1 || WantsHelp(args)) {
        PrintImportUsage();
        return WantsHelp(args) ? kSuccess : kFailure;
    }
    // What reg.exe says for every file it cannot open and read: missing, a folder, unreadable.
    const char* kCannotOpen = "ERROR: Error opening the file. There may be a disk or file system error.";
    struct stat st;
    if (stat(args[0].c_str(), &st) != 0 || S_ISDIR(st.st_mode) || access(args[0].c_str(), R_OK) != 0)
        return Fail(kCannotOpen);
    LSTATUS rc = KvRegImportFile(args[0].c_str());
    switch (rc) {
    case ERROR_SUCCESS:
        return Succeeded();
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_CANTREAD:
        return Fail(kCannotOpen);
    case ERROR_BAD_FORMAT:
        return Fail("ERROR: The specified file is not a registry file. You can import only registry files.");
    case ERROR_INVALID_HANDLE:  // a section under a root that does not exist; the rest is imported
        return Fail("ERROR: Error accessing the registry.");
    default:
        return Fail(StatusText(rc));
    }
}

int Export(const std::vector<std::string>& args) {
    if (args.size() < 2 || WantsHelp(args)) {
        PrintExportUsage();
        return WantsHelp(args) ? kSuccess : kFailure;
    }
    KeyName key;
    if (!ParseKeyName(args[0], key)) return InvalidKey("export");
    bool overwrite = false;
    for (size_t i = 2; i < args.size(); ++i) {
        if (IsSwitch(args[i], "y")) overwrite = true;
        else if (!IsSwitch(args[i], "reg:32") && !IsSwitch(args[i], "reg:64")) return SyntaxError("export");
    }
    // The key must exist before anything is written.
    OpenKey opened;
    LSTATUS rc = RegOpenKeyExA(key.root, key.subkey.c_str(), 0, KEY_READ, opened.put());
    if (rc != ERROR_SUCCESS) return Fail(StatusText(rc));
    struct stat st;
    if (!overwrite && stat(args[1].c_str(), &st) == 0)
        return Fail("ERROR: The file " + args[1] + " already exists. kvreg cannot ask whether to overwrite it: add /y to do so.");
    // The key was there a moment ago: what fails now is the file, which reg.exe reports with the
    // system's text ("The system cannot find the path specified." for a missing folder).
    rc = KvRegExportKey(key.display.c_str(), args[1].c_str());
    if (rc != ERROR_SUCCESS) return Fail("ERROR: " + SystemMessage(rc));
    return Succeeded();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || IsSwitch(args[0], "?") || IsSwitch(args[0], "h")) {
        PrintUsage();
        return args.empty() ? kFailure : kSuccess;
    }
    std::string operation = args[0];
    args.erase(args.begin());
    // What kvreg cannot read whole it neither shows in part nor rewrites without the rest. A store
    // that is missing or unreadable is said as such, never as a key that is not there.
    const bool known = SameText(operation, "add") || SameText(operation, "query") || SameText(operation, "delete") ||
                       SameText(operation, "import") || SameText(operation, "export");
    if (known && !WantsHelp(args)) {
        StoreAccess store;
        if (store.state() == StoreAccess::State::Unreadable)
            return Fail("ERROR: T" + store.problem().substr(1) + ".\nkvreg shows and changes nothing in it.");
        const bool reads = !SameText(operation, "add") && !SameText(operation, "import");
        if (store.state() == StoreAccess::State::Missing && reads)
            return Fail("ERROR: T" + store.problem().substr(1) +
                        ": nothing is set or registered in it yet.\n(KVLUMEN_REGISTRY names another store; "
                        "kvreg add and kvregsvr create it.)");
        std::string damage = StoreDamage();
        if (!damage.empty()) return Fail(damage);
    }
    if (SameText(operation, "add")) return Add(args);
    if (SameText(operation, "query")) return Query(args);
    if (SameText(operation, "delete")) return Delete(args);
    if (SameText(operation, "import")) return Import(args);
    if (SameText(operation, "export")) return Export(args);
    return Fail("ERROR: Invalid syntax.\nType \"KVREG /?\" for usage.");
}
