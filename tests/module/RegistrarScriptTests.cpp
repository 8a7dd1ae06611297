// RegistrarScriptTests.cpp -- the registration-script interpreter against the registry: roots, entries, variables, removal, errors.
#include "ModuleTestSupport.h"
#include "RegistrarScript.h"

using namespace kvtest;

namespace {

const char kScratch[] = "Software\\KVLumenTests\\Registrar";

HRESULT Register(RegistrarScript& script, const std::string& text) { return script.Register(text.data(), text.size()); }
HRESULT Unregister(RegistrarScript& script, const std::string& text) { return script.Unregister(text.data(), text.size()); }

// A script that works below the scratch key of HKCU.
std::string Scratch(const std::string& entries, const char* root = "HKCU") {
    return std::string(root) + "\r\n{\r\n NoRemove Software\r\n {\r\n  NoRemove KVLumenTests\r\n  {\r\n   NoRemove Registrar\r\n   {\r\n" +
           entries + "\r\n   }\r\n  }\r\n }\r\n}\r\n";
}

std::string Key(const std::string& below) { return std::string(kScratch) + "\\" + below; }

DWORD ReadDword(HKEY root, const std::string& path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0xDEADBEEF;
    DWORD value = 0, size = sizeof(value), type = REG_NONE;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD ? value : 0xDEADBEEF;
}

class RegistrarScriptTest : public testing::Test {
protected:
    void SetUp() override {
        DeleteKeyTree(HKEY_CURRENT_USER, kScratch);
        ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, kScratch, "marker", "scratch"));
    }
    void TearDown() override {
        DeleteKeyTree(HKEY_CURRENT_USER, kScratch);
        DeleteKeyTree(HKEY_CURRENT_USER, "Software\\KVLumenTests");
    }
    RegistrarScript mScript;
};

}  // namespace

// Keys with default values, named string and number values, bare and quoted names, nesting.
TEST_F(RegistrarScriptTest, WritesKeysAndValues) {
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Plain = s 'default text'\r\n"
                                              "    {\r\n"
                                              "      val Named = s 'named text'\r\n"
                                              "      val Decimal = d '4294967295'\r\n"
                                              "      val Hex = d 0x1F\r\n"
                                              "      'Two Words'\r\n"
                                              "      {\r\n"
                                              "        {6B29FC40-CA47-1067-B31D-00DD010662DA} = s bare\r\n"
                                              "      }\r\n"
                                              "    }\r\n")))
        << mScript.LastError();
    EXPECT_EQ("default text", ReadString(HKEY_CURRENT_USER, Key("Plain"), nullptr));
    EXPECT_EQ("named text", ReadString(HKEY_CURRENT_USER, Key("Plain"), "Named"));
    EXPECT_EQ(0xFFFFFFFFu, ReadDword(HKEY_CURRENT_USER, Key("Plain"), "Decimal"));
    EXPECT_EQ(0x1Fu, ReadDword(HKEY_CURRENT_USER, Key("Plain"), "Hex"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Plain\\Two Words")));
    EXPECT_EQ("<missing>", ReadString(HKEY_CURRENT_USER, Key("Plain\\Two Words"), nullptr)) << "a bare key has no default value";
    EXPECT_EQ("bare", ReadString(HKEY_CURRENT_USER, Key("Plain\\Two Words\\{6B29FC40-CA47-1067-B31D-00DD010662DA}"), nullptr));
    EXPECT_EQ("", mScript.LastError());
}

// Root keys are known by their short and long names, in any case; other names are syntax errors.
TEST_F(RegistrarScriptTest, RootKeysShortAndLong) {
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Short = s 'one'", "HKCU") + Scratch("    Long = s 'two'", "HKEY_CURRENT_USER") +
                                          Scratch("    Lower = s 'three'", "hkcu")));
    EXPECT_EQ("one", ReadString(HKEY_CURRENT_USER, Key("Short"), nullptr));
    EXPECT_EQ("two", ReadString(HKEY_CURRENT_USER, Key("Long"), nullptr));
    EXPECT_EQ("three", ReadString(HKEY_CURRENT_USER, Key("Lower"), nullptr));

    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Machine = s 'four'", "HKLM") + Scratch("    Machine2 = s 'five'", "HKEY_LOCAL_MACHINE")))
        << mScript.LastError();
    EXPECT_EQ("four", ReadString(HKEY_LOCAL_MACHINE, Key("Machine"), nullptr));
    EXPECT_EQ("five", ReadString(HKEY_LOCAL_MACHINE, Key("Machine2"), nullptr));
    DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\KVLumenTests");

    ASSERT_EQ(S_OK, Register(mScript, "HKCR { 'KVLumenTests.Class' = s 'six' }\r\nHKEY_CLASSES_ROOT { 'KVLumenTests.Class2' = s 'seven' }"))
        << mScript.LastError();
    EXPECT_EQ("six", ReadString(HKEY_CLASSES_ROOT, "KVLumenTests.Class", nullptr));
    EXPECT_EQ("seven", ReadString(HKEY_CLASSES_ROOT, "KVLumenTests.Class2", nullptr));
    EXPECT_EQ(S_OK, Unregister(mScript, "HKCR { 'KVLumenTests.Class' }\r\nHKEY_CLASSES_ROOT { 'KVLumenTests.Class2' }"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "KVLumenTests.Class"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "KVLumenTests.Class2"));

    ASSERT_EQ(S_OK, Register(mScript, "HKU { NoRemove .DEFAULT { NoRemove Software { KVLumenTests = s 'eight' } } }"))
        << mScript.LastError();
    EXPECT_EQ("eight", ReadString(HKEY_USERS, ".DEFAULT\\Software\\KVLumenTests", nullptr));
    EXPECT_EQ(S_OK, Unregister(mScript, "HKEY_USERS { NoRemove .DEFAULT { NoRemove Software { KVLumenTests } } }"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, ".DEFAULT\\Software\\KVLumenTests"));

    // The other roots are known too: unregistering a key that is not there is no error.
    for (const char* root : {"HKPD", "HKEY_PERFORMANCE_DATA", "HKDD", "HKEY_DYN_DATA", "HKCC", "HKEY_CURRENT_CONFIG"}) {
        HRESULT hr = Unregister(mScript, std::string(root) + " { 'KVLumenTests.Missing' }");
        EXPECT_NE(DISP_E_EXCEPTION, hr) << root << ": " << mScript.LastError();
    }
    EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, "HKXX { Key }"));
    EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, "'HKCU' { Key }")) << "a quoted root is a name, not a root key";
}

// Variables are replaced without regard to case; quotes double inside quoted strings.
TEST_F(RegistrarScriptTest, VariablesAndQuotes) {
    const std::string path = "/opt/it's here/KV'Ev.so";
    std::string doubled;
    for (char c : path) {
        doubled += c;
        if (c == '\'') doubled += '\'';
    }
    mScript.AddReplacement("Module", doubled);
    mScript.AddReplacement("Module_Raw", "/opt/plain/KVEv.so");
    mScript.AddReplacement("APPID", "{placeholder}");
    mScript.AddReplacement("appid", "{2F30C806-D59B-48a2-8A09-141FB66CA0E5}");  // replaces, any case
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Vars\r\n    {\r\n"
                                              "      val Upper = s '%MODULE%'\r\n"
                                              "      val Mixed = s '%MoDuLe%'\r\n"
                                              "      val AppId = s '%appid%'\r\n"
                                              "      val Percent = s '100%% sure'\r\n"
                                              "      val Quote = s 'It''s ''quoted'''\r\n"
                                              "      val Raw = s %MODULE_RAW%\r\n"
                                              "    }")))
        << mScript.LastError();
    EXPECT_EQ(path, ReadString(HKEY_CURRENT_USER, Key("Vars"), "Upper"));
    EXPECT_EQ(path, ReadString(HKEY_CURRENT_USER, Key("Vars"), "Mixed"));
    EXPECT_EQ("{2F30C806-D59B-48a2-8A09-141FB66CA0E5}", ReadString(HKEY_CURRENT_USER, Key("Vars"), "AppId"));
    EXPECT_EQ("100% sure", ReadString(HKEY_CURRENT_USER, Key("Vars"), "Percent"));
    EXPECT_EQ("It's 'quoted'", ReadString(HKEY_CURRENT_USER, Key("Vars"), "Quote"));
    EXPECT_EQ("/opt/plain/KVEv.so", ReadString(HKEY_CURRENT_USER, Key("Vars"), "Raw"));

    // The reason for the doubling: the same path with single quotes ends the string early.
    mScript.AddReplacement("MODULE", path);
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Undoubled = s '%MODULE%'")));
    EXPECT_NE(path, ReadString(HKEY_CURRENT_USER, Key("Undoubled"), nullptr));
}

// ForceRemove deletes an existing key with everything below it before writing it again.
TEST_F(RegistrarScriptTest, ForceRemoveReplacesTheKey) {
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Forced\\Old\\Deeper"), "v", "x"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Forced"), "OldValue", "x"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Kept\\Old"), "v", "x"));
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    ForceRemove Forced = s 'new' { New }\r\n    Kept = s 'new' { New }")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Forced\\Old")));
    EXPECT_EQ("<missing>", ReadString(HKEY_CURRENT_USER, Key("Forced"), "OldValue"));
    EXPECT_EQ("new", ReadString(HKEY_CURRENT_USER, Key("Forced"), nullptr));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Forced\\New")));
    // Without ForceRemove what was there stays.
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Kept\\Old")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Kept\\New")));
}

// Delete removes a key with its subkeys when registering, and does nothing when unregistering.
TEST_F(RegistrarScriptTest, DeleteActsOnRegistrationOnly) {
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Doomed\\Child"), "v", "x"));
    ASSERT_EQ(S_OK, Register(mScript, Scratch("    Delete Doomed\r\n    Delete 'Never There' = s 'ignored'")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Doomed")));

    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Doomed\\Child"), "v", "x"));
    ASSERT_EQ(S_OK, Unregister(mScript, Scratch("    Delete Doomed")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Doomed\\Child")));
}

// Unregistering removes named values and keys, keeps NoRemove keys and keys that still hold
// subkeys the script does not name, and accepts what is already gone.
TEST_F(RegistrarScriptTest, UnregisterRemovesWhatTheScriptNames) {
    const std::string script = Scratch("    NoRemove Shared\r\n    {\r\n      val Ours = s 'x'\r\n      Mine = s 'x' { Leaf }\r\n    }\r\n"
                                       "    Owned = s 'x'\r\n    {\r\n      val Flag = s 'x'\r\n      Sub\r\n    }\r\n"
                                       "    Crowded\r\n    {\r\n      Listed\r\n    }");
    ASSERT_EQ(S_OK, Register(mScript, script));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Shared"), "Theirs", "keep"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Owned"), "Extra", "goes with the key"));
    ASSERT_TRUE(WriteString(HKEY_CURRENT_USER, Key("Crowded\\Foreign"), nullptr, "not ours"));

    ASSERT_EQ(S_OK, Unregister(mScript, script)) << mScript.LastError();
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Shared")));
    EXPECT_EQ("<missing>", ReadString(HKEY_CURRENT_USER, Key("Shared"), "Ours"));
    EXPECT_EQ("keep", ReadString(HKEY_CURRENT_USER, Key("Shared"), "Theirs"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Shared\\Mine")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Owned")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Key("Crowded\\Foreign")));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Crowded\\Listed")));
    EXPECT_EQ("scratch", ReadString(HKEY_CURRENT_USER, kScratch, "marker")) << "NoRemove kept the scratch key";

    // Again, with everything already gone.
    EXPECT_EQ(S_OK, Unregister(mScript, script)) << mScript.LastError();
}

// A script that cannot be read fails with DISP_E_EXCEPTION before it writes anything.
TEST_F(RegistrarScriptTest, SyntaxErrorsWriteNothing) {
    const char* const broken[] = {
        "    Key = s 'unterminated",
        "    Key = x 'unknown type'",
        "    Key = s",
        "    Key = s {",
        "    Key =",
        "    val NoData",
        "    val Name = s 'v' { Child }",
        "    Delete Key { Child }",
        "    'Two\\Keys' = s 'compound'",
        "    ''",
        "    Key = d 12x",
        "    Key = d 0x100000000",
        "    Key = s '%UNKNOWN%'",
        "    Key = s '%unterminated'",
        "    Key { Child",
        "    ForceRemove",
        "    =",
    };
    const std::string good = "HKCU { NoRemove Software { NoRemove KVLumenTests { NoRemove Registrar { Written = s 'x' } } } }\r\n";
    for (const char* entries : broken) {
        SCOPED_TRACE(entries);
        EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, good + Scratch(entries)));
        EXPECT_EQ(0u, mScript.LastError().rfind("syntax error", 0)) << mScript.LastError();
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Written"))) << "the valid first block was written";
        EXPECT_EQ(DISP_E_EXCEPTION, Unregister(mScript, good + Scratch(entries)));
    }
    // A NUL byte inside the text.
    std::string withNul = Scratch("    Key = s 'a");
    withNul += '\0';
    withNul += "b'";
    EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, withNul));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Key")));
    // And the unbalanced braces of a whole script.
    EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, "HKCU { NoRemove Software { KVLumenTestsX }"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\KVLumenTestsX"));
    EXPECT_EQ(DISP_E_EXCEPTION, Register(mScript, "HKCU"));
    EXPECT_EQ(S_OK, Register(mScript, "")) << "an empty script registers nothing";
    EXPECT_EQ(S_OK, Register(mScript, " \r\n\t"));
}

// A registry failure stops the run with the system's error; earlier writes stay.
TEST_F(RegistrarScriptTest, RegistryFailureStopsTheRun) {
    // A value cannot be set on a key that the script could not create: HKPD holds no keys.
    HRESULT hr = Register(mScript, Scratch("    First = s 'written'") + "HKPD { 'KVLumenTests' = s 'x' }\r\n" +
                                       Scratch("    Third = s 'not reached'"));
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(DISP_E_EXCEPTION, hr) << mScript.LastError();
    EXPECT_EQ(0x80070000u, static_cast<unsigned>(hr) & 0xFFFF0000u) << "an HRESULT from a Win32 error: " << std::hex << hr;
    EXPECT_EQ(0u, mScript.LastError().rfind("registry error", 0)) << mScript.LastError();
    EXPECT_EQ("written", ReadString(HKEY_CURRENT_USER, Key("First"), nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Key("Third")));
}
