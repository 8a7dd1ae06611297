// RegistryFormatTests.cpp -- the store file's .reg format: what is written, read, imported, exported.
#include "RegistryTestStore.h"

#include <stdint.h>

#include <vector>

namespace {

using kvtest::ReadWholeFile;

class RegistryFormat : public kvtest::RegistryStoreTest {
protected:
    // Makes the store parse its file from scratch: a copy under another name has no cache.
    void ReparseFromFile() {
        std::string copy = mDir.file("copy-" + std::to_string(++mCopies) + ".reg");
        WriteText(copy, ReadWholeFile(mStore));
        mStore = copy;
        KvRegSetStorePath(mStore.c_str());
    }
    int mCopies = 0;
};

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The file starts with regedit's header and holds each value in regedit's form for its type.
TEST_F(RegistryFormat, WritesRegeditTextForEveryValueForm) {
    const char* key = "SOFTWARE\\KVFormat";
    ASSERT_EQ(ERROR_SUCCESS, SetString(key, "Str", "a\\b \"q\""));
    ASSERT_EQ(ERROR_SUCCESS, SetString(key, nullptr, "dflt"));
    DWORD dword = 0x2a;
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Dw", REG_DWORD, std::string(reinterpret_cast<char*>(&dword), 4)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Bin", REG_BINARY, Bytes("\x00\xff", 2)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Exp", REG_EXPAND_SZ, Bytes("%A%\0", 4)));
    std::string text = ReadWholeFile(mStore);
    EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n\n")) << text;
    EXPECT_TRUE(Contains(text, "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVFormat]\n")) << text;
    EXPECT_TRUE(Contains(text, "\n\"Str\"=\"a\\\\b \\\"q\\\"\"\n")) << text;
    EXPECT_TRUE(Contains(text, "\n@=\"dflt\"\n")) << text;
    EXPECT_TRUE(Contains(text, "\n\"Dw\"=dword:0000002a\n")) << text;
    EXPECT_TRUE(Contains(text, "\n\"Bin\"=hex:00,ff\n")) << text;
    EXPECT_TRUE(Contains(text, "\n\"Exp\"=hex(2):25,00,41,00,25,00,00,00\n")) << text;
}

// Whatever the A functions stored comes back from the file byte for byte, with its type, under
// names that need escaping.
TEST_F(RegistryFormat, EveryValueSurvivesTheFileByteForByte) {
    struct Case {
        const char* key;
        const char* name;
        DWORD type;
        std::string data;
    };
    std::string binary;
    for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 7);
    const std::vector<Case> cases = {
        {"SOFTWARE\\KVRound", "unterminated", REG_SZ, "abc"},
        {"SOFTWARE\\KVRound", "inner nul", REG_SZ, Bytes("a\0b\0", 4)},
        {"SOFTWARE\\KVRound", "line breaks", REG_SZ, Bytes("one\ntwo\r\n\0", 10)},
        {"SOFTWARE\\KVRound", "nothing", REG_SZ, ""},
        {"SOFTWARE\\KVRound", "empty", REG_SZ, Bytes("\0", 1)},
        {"SOFTWARE\\KVRound", "high bytes", REG_SZ, Bytes("caf\xc3\xa9 \xff\x80\0", 9)},
        {"SOFTWARE\\KVRound", "ends in backslash", REG_SZ, Bytes("C:\\dir\\\0", 8)},
        {"SOFTWARE\\KVRound", "expand", REG_EXPAND_SZ, Bytes("%PATH%;\xe9\0", 9)},
        {"SOFTWARE\\KVRound", "multi", REG_MULTI_SZ, Bytes("a\0b\0\0", 5)},
        {"SOFTWARE\\KVRound", "short dword", REG_DWORD, Bytes("\x01\x02\x03", 3)},
        {"SOFTWARE\\KVRound", "qword", REG_QWORD, Bytes("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"SOFTWARE\\KVRound", "none", REG_NONE, Bytes("\x01", 1)},
        {"SOFTWARE\\KVRound", "odd type", 0x1234, "zz"},
        {"SOFTWARE\\KVRound", "long binary", REG_BINARY, binary},
        {"SOFTWARE\\KVRound", "quote\"name", REG_SZ, Bytes("q\0", 2)},
        {"SOFTWARE\\KVRound", "back\\slash", REG_SZ, Bytes("b\0", 2)},
        {"SOFTWARE\\KVRound", "@", REG_SZ, Bytes("at sign\0", 8)},
        {"SOFTWARE\\KVRound", "", REG_SZ, Bytes("default\0", 8)},
        {"SOFTWARE\\KVRound", "[section]=\"x\"", REG_SZ, Bytes("tricky\0", 7)},
        {"SOFTWARE\\KVRound\\odd]name", "v", REG_SZ, Bytes("1\0", 2)},
        {"SOFTWARE\\KVRound\\spaces in name", "v", REG_SZ, Bytes("2\0", 2)},
    };
    for (const Case& c : cases) ASSERT_EQ(ERROR_SUCCESS, SetValue(c.key, c.name, c.type, c.data)) << c.name;
    ReparseFromFile();
    for (const Case& c : cases) {
        DWORD type = 0;
        LSTATUS rc = ERROR_SUCCESS;
        EXPECT_EQ(c.data, GetValue(c.key, c.name, &type, &rc)) << c.name;
        EXPECT_EQ(ERROR_SUCCESS, rc) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
    }
}

// Files written by hand or by Windows read correctly: CRLF, comments, blanks, continued hex,
// upper-case digits, short and HKEY_CLASSES_ROOT sections.
TEST_F(RegistryFormat, ReadsHandWrittenFiles) {
    WriteText(mStore,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "; a comment\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVHand]  \r\n"
              "\"spaced\" = \"yes\"\r\n"
              "\"path\"=\"C:\\\\dir\\\\\"\r\n"
              "\"exp\"=hex(2):25,00,54,00,\\\r\n"
              "   4D,00,\\\r\n"
              "\t50,00,25,00,00,00\r\n"
              "\"dw\"=dword:0000FFFF\r\n"
              "\r\n"
              "[HKCR\\KVHand.Class]\r\n"
              "@=\"class\"\r\n");
    DWORD type = 0;
    EXPECT_EQ(Bytes("yes\0", 4), GetValue("SOFTWARE\\KVHand", "spaced"));
    EXPECT_EQ(Bytes("C:\\dir\\\0", 8), GetValue("SOFTWARE\\KVHand", "path"));
    EXPECT_EQ(Bytes("%TMP%\0", 6), GetValue("SOFTWARE\\KVHand", "exp", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(Bytes("\xff\xff\0\0", 4), GetValue("SOFTWARE\\KVHand", "dw", &type));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(Bytes("class\0", 6), GetValue("Software\\Classes\\KVHand.Class", ""));
}

// Import takes UTF-16LE files as Windows writes them (units narrowed to bytes, others to '?')
// and REGEDIT4 files, whose strings are narrow.
TEST_F(RegistryFormat, ImportReadsUtf16AndRegedit4) {
    std::u16string wide = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVWide]\r\n"
                          u"\"latin\"=\"caf\u00e9\"\r\n\"euro\"=\"\u20ac\"\r\n";
    std::string bytes = "\xff\xfe";
    for (char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    std::string wideFile = mDir.file("wide.reg");
    WriteText(wideFile, bytes);
    ASSERT_EQ(ERROR_SUCCESS, KvRegImportFile(wideFile.c_str()));
    EXPECT_EQ(Bytes("caf\xe9\0", 5), GetValue("SOFTWARE\\KVWide", "latin"));
    EXPECT_EQ(Bytes("?\0", 2), GetValue("SOFTWARE\\KVWide", "euro"));

    std::string oldFile = mDir.file("old.reg");
    WriteText(oldFile, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVOld]\n\"exp\"=hex(2):25,41,25,00\n");
    ASSERT_EQ(ERROR_SUCCESS, KvRegImportFile(oldFile.c_str()));
    EXPECT_EQ(Bytes("%A%\0", 4), GetValue("SOFTWARE\\KVOld", "exp"));
    unlink(wideFile.c_str());
    unlink(oldFile.c_str());
}

// "[-key]" removes a tree and "name"=- a value; a root is never removed.
TEST_F(RegistryFormat, ImportDeletesWithMinus) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVMinus", "a", "1"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVMinus", "b", "2"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVMinus\\Sub\\Deeper", "c", "3"));
    std::string file = mDir.file("minus.reg");
    WriteText(file,
              "Windows Registry Editor Version 5.00\n\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\KVMinus\\Sub]\n\n"
              "[-HKEY_LOCAL_MACHINE]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVMinus]\n\"a\"=-\n");
    ASSERT_EQ(ERROR_SUCCESS, KvRegImportFile(file.c_str()));
    LSTATUS rc = ERROR_SUCCESS;
    GetValue("SOFTWARE\\KVMinus", "a", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    EXPECT_EQ(Bytes("2\0", 2), GetValue("SOFTWARE\\KVMinus", "b"));
    GetValue("SOFTWARE\\KVMinus\\Sub", "", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    unlink(file.c_str());
}

// Import refuses a missing file and one without a header, and then leaves the store alone.
TEST_F(RegistryFormat, ImportNeedsAFileWithAHeader) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVHeader", "v", "kept"));
    std::string before = ReadWholeFile(mStore);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, KvRegImportFile(mDir.file("missing.reg").c_str()));
    std::string file = mDir.file("plain.txt");
    WriteText(file, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVHeader]\n\"v\"=\"replaced\"\n");
    EXPECT_EQ(ERROR_BAD_FORMAT, KvRegImportFile(file.c_str()));
    EXPECT_EQ(before, ReadWholeFile(mStore));
    EXPECT_EQ(Bytes("kept\0", 5), GetValue("SOFTWARE\\KVHeader", "v"));
    unlink(file.c_str());
}

// Readers get what could be read (lines that cannot be understood are skipped, values under a
// broken section go nowhere, everything valid around them is kept); the file is never rewritten
// without what could not be read: changes fail until it is mended.
TEST_F(RegistryFormat, MalformedLinesAreSkippedAndTheFileIsLeftAlone) {
    WriteText(mStore,
              "Windows Registry Editor Version 5.00\n"
              "garbage line\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVBad]\n"
              "\"good1\"=\"yes\"\n"
              "\"unterminated=\"no\n"
              "\"trailing\"=\"x\" junk\n"
              "\"baddword\"=dword:zz\n"
              "\"longdword\"=dword:123456789\n"
              "\"badhex\"=hex:1g,02\n"
              "\"nocolon\"=hex(2)01\n"
              "\"badtype\"=hex(zz):01\n"
              "=nothing\n"
              "\"noequals\" \"x\"\n"
              "[HKEY_NOWHERE\\X]\n"
              "\"lost\"=\"no\"\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVBad\n"
              "\"lost2\"=\"no\"\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVBad]\n"
              "\"good2\"=dword:1\n"
              "\"cont\"=hex:01,\\\n");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVBad", 0, KEY_READ, &key));
    std::set<std::string> names;
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.insert(name);
    }
    RegCloseKey(key);
    EXPECT_EQ((std::set<std::string>{"good1", "good2", "cont"}), names);
    EXPECT_EQ(Bytes("\x01\0\0\0", 4), GetValue("SOFTWARE\\KVBad", "good2"));
    EXPECT_EQ(Bytes("\x01", 1), GetValue("SOFTWARE\\KVBad", "cont"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "X", 0, KEY_READ, &key));

    std::string damaged = ReadWholeFile(mStore);
    char description[512] = {};
    EXPECT_EQ(ERROR_BADDB, KvRegCheckStore(description, sizeof(description)));
    EXPECT_EQ("\"" + mStore + "\" cannot be read completely: line 2 is not understood: garbage line (and 13 more)",
              std::string(description));
    EXPECT_EQ(ERROR_BADDB, SetString("SOFTWARE\\KVBad", "new", "x"));
    EXPECT_EQ(ERROR_BADDB, RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVBad"));
    EXPECT_EQ(ERROR_BADDB, KvRegImportFile(mStore.c_str()));
    EXPECT_EQ(damaged, ReadWholeFile(mStore)) << "not a byte changed";

    // Mended, the file takes changes again.
    WriteText(mStore, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVBad]\n\"good1\"=\"yes\"\n");
    EXPECT_EQ(ERROR_SUCCESS, KvRegCheckStore(description, sizeof(description)));
    EXPECT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVBad", "new", "x"));
    EXPECT_EQ(Bytes("yes\0", 4), GetValue("SOFTWARE\\KVBad", "good1"));
}

// A file that is not text (a NUL byte in it) is refused the same way, whatever parses in it.
TEST_F(RegistryFormat, FileThatIsNotTextIsNeverRewritten) {
    std::string binary = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVBin]\n" + Bytes("\x00\x01\x02\xff\n", 5);
    WriteText(mStore, binary);
    char description[512] = {};
    EXPECT_EQ(ERROR_BADDB, KvRegCheckStore(description, sizeof(description)));
    EXPECT_EQ("\"" + mStore + "\" is not a text file: line 4 holds a NUL byte", std::string(description));
    EXPECT_EQ(ERROR_BADDB, SetString("SOFTWARE\\KVBin", "v", "x"));
    EXPECT_EQ(binary, ReadWholeFile(mStore));
}

// No text, however broken, crashes the store: one it cannot read completely is refused for
// changes and left byte for byte, one it can takes changes; and what the store writes reads back
// to the same text.
TEST_F(RegistryFormat, RandomTextNeverBreaksTheStore) {
    static const char* const kPieces[] = {
        "[", "]", "\"", "\\", "=", "@", "-", ",", "\n", "\r\n", " ", "hex", "hex(2):", "hex(7):", "dword:",
        "HKEY_LOCAL_MACHINE", "HKLM\\", "HKEY_CLASSES_ROOT\\", "SOFTWARE", "ff,", "0", "\xff\xfe", "\0", "\\\n",
        "Windows Registry Editor Version 5.00\n", "REGEDIT4\n", "[-", "\"=\"", "\x80", ";"};
    uint32_t seed = 12345;
    int damaged = 0;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < 120; ++round) {
        std::string text;
        int count = static_cast<int>(next() % 120);
        for (int i = 0; i < count; ++i) {
            if (next() % 5 == 0) text += static_cast<char>(next() & 0xFF);
            else text += std::string(kPieces[next() % (sizeof(kPieces) / sizeof(kPieces[0]))]);
        }
        ReplaceText(mStore, text);
        bool whole = KvRegCheckStore(nullptr, 0) != ERROR_BADDB;  // (and the process need not say it)
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            char name[256];
            DWORD length = sizeof(name);
            RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
            RegCloseKey(key);
        }
        if (!whole) {
            ++damaged;
            ASSERT_EQ(ERROR_BADDB, SetString("SOFTWARE\\KVRandom", "alive", std::to_string(round))) << round;
            ASSERT_EQ(text, ReadWholeFile(mStore)) << round;
            unlink(mStore.c_str());
        }
        ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVRandom", "alive", std::to_string(round))) << round;
        ASSERT_EQ(std::to_string(round) + '\0', GetValue("SOFTWARE\\KVRandom", "alive")) << round;
        std::string written = ReadWholeFile(mStore);
        std::string exported = mDir.file("export.reg");
        ReparseFromFile();
        ASSERT_EQ(ERROR_SUCCESS, KvRegExportKey(nullptr, exported.c_str()));
        ASSERT_EQ(written, ReadWholeFile(exported)) << "round " << round;
        unlink(mStore.c_str());
        mStore = mDir.file("registry.reg");
        KvRegSetStorePath(mStore.c_str());
    }
    EXPECT_GT(damaged, 0);
    EXPECT_LT(damaged, 120) << "some texts are whole";
}

// Export writes one key with its subtree and nothing else; importing it brings the key back.
TEST_F(RegistryFormat, ExportWritesTheSubtreeAndImportRestoresIt) {
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVExp\\A", "top", "1"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVExp\\A\\B", "deep", "2"));
    ASSERT_EQ(ERROR_SUCCESS, SetString("SOFTWARE\\KVExp\\Z", "other", "3"));
    std::string file = mDir.file("a.reg");
    ASSERT_EQ(ERROR_SUCCESS, KvRegExportKey("HKLM\\software\\kvexp\\a", file.c_str()));
    std::string text = ReadWholeFile(file);
    EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n\n")) << text;
    EXPECT_TRUE(Contains(text, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVExp\\A]\n\"top\"=\"1\"\n")) << text;
    EXPECT_TRUE(Contains(text, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVExp\\A\\B]\n\"deep\"=\"2\"\n")) << text;
    EXPECT_FALSE(Contains(text, "KVExp\\Z")) << text;

    std::string missing = mDir.file("missing.reg");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, KvRegExportKey("HKLM\\SOFTWARE\\KVExp\\Nope", missing.c_str()));
    EXPECT_NE(0, access(missing.c_str(), F_OK));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, KvRegExportKey("HKEY_NOWHERE\\X", missing.c_str()));

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVExp\\A"));
    ASSERT_EQ(ERROR_SUCCESS, KvRegImportFile(file.c_str()));
    EXPECT_EQ(Bytes("1\0", 2), GetValue("SOFTWARE\\KVExp\\A", "top"));
    EXPECT_EQ(Bytes("2\0", 2), GetValue("SOFTWARE\\KVExp\\A\\B", "deep"));
    EXPECT_EQ(Bytes("3\0", 2), GetValue("SOFTWARE\\KVExp\\Z", "other"));
    unlink(file.c_str());
}

// Keys under HKEY_CLASSES_ROOT are exported under their machine path.
TEST_F(RegistryFormat, ClassesRootExportsUnderMachineClasses) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, "KVExp.Class\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("{1}"), 4));
    RegCloseKey(key);
    std::string file = mDir.file("class.reg");
    ASSERT_EQ(ERROR_SUCCESS, KvRegExportKey("HKCR\\KVExp.Class", file.c_str()));
    std::string text = ReadWholeFile(file);
    EXPECT_TRUE(Contains(text, "[HKEY_LOCAL_MACHINE\\Software\\Classes\\KVExp.Class\\CLSID]\n@=\"{1}\"\n")) << text;
    unlink(file.c_str());
}

}  // namespace
