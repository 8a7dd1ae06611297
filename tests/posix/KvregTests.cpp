// KvregTests.cpp -- the kvreg tool, run as administrators run it, against a store of its own.
#include "RegistryTestStore.h"

#include <sys/wait.h>

#include <vector>

namespace {

using kvtest::ReadWholeFile;

// One shell word, whatever it holds.
std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> Words(const std::string& text);

struct ToolResult {
    int exitCode = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

class Kvreg : public kvtest::RegistryStoreTest {
protected:
    void SetUp() override {
        kvtest::RegistryStoreTest::SetUp();
        ASSERT_EQ(0, access(Tool().c_str(), X_OK)) << Tool() << ": the kvreg target is built next to posix_tests";
    }
    static std::string Tool() {
        std::string self = kvtest::SelfPath();
        return self.substr(0, self.rfind('/')) + "/kvreg";
    }

    // Runs kvreg (next to this test program) with `args`: words split at spaces, where '...'
    // keeps spaces and backslashes together, as a shell would.
    ToolResult Run(const std::string& args) {
        std::string errFile = mDir.file("stderr.txt");
        std::string command = "KVLUMEN_REGISTRY=" + Quoted(mStore) + " " + Quoted(Tool());
        for (const std::string& word : Words(args)) command += " " + Quoted(word);
        command += " 2>" + Quoted(errFile);
        ToolResult result;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return result;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.out.append(buffer, n);
        int status = pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = ReadWholeFile(errFile);
        unlink(errFile.c_str());
        return result;
    }
};

std::string Bytes(const char* data, size_t size) { return std::string(data, size); }

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '\'' ) {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.\n";

// add writes the value, query prints it the way reg.exe does.
TEST_F(Kvreg, AddThenQueryPrintsLikeReg) {
    ToolResult add = Run("add 'HKLM\\SOFTWARE\\Korvane\\KVLumen\\Logging' /v KVLUMEN.EventListener /t REG_SZ "
                         "/d 'file,/tmp/kvlisten.log,5' /f");
    EXPECT_EQ(0, add.exitCode) << add.err;
    EXPECT_EQ("The operation completed successfully.\n", add.out);
    EXPECT_EQ(Bytes("file,/tmp/kvlisten.log,5\0", 25),
              GetValue("SOFTWARE\\Korvane\\KVLumen\\Logging", "KVLUMEN.EventListener"));
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\Korvane\\KVLumen\\Logging /v Level /t REG_DWORD /d 42").exitCode);
    ToolResult query = Run("query HKLM\\SOFTWARE\\Korvane\\KVLumen\\Logging");
    EXPECT_EQ(0, query.exitCode);
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\KVLumen\\Logging\n"
              "    KVLUMEN.EventListener    REG_SZ    file,/tmp/kvlisten.log,5\n"
              "    Level    REG_DWORD    0x2a\n\n",
              query.out);
    ToolResult one = Run("query HKEY_LOCAL_MACHINE\\software\\korvane\\kvlumen\\logging /v level");
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\software\\korvane\\kvlumen\\logging\n    level    REG_DWORD    0x2a\n\n", one.out);
}

// Without /f an existing value is left alone and the command fails; with /f it is replaced.
TEST_F(Kvreg, AddRefusesToOverwriteWithoutForce) {
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVTool /v v /d old").exitCode);
    ToolResult refused = Run("add HKLM\\SOFTWARE\\KVTool /v v /d new");
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.err.find("/f")) << refused.err;
    EXPECT_EQ(Bytes("old\0", 4), GetValue("SOFTWARE\\KVTool", "v"));
    EXPECT_EQ(0, Run("add HKLM\\SOFTWARE\\KVTool /v v /d new /f").exitCode);
    EXPECT_EQ(Bytes("new\0", 4), GetValue("SOFTWARE\\KVTool", "v"));
}

// Data are converted for each type; bad data and unknown types fail without writing.
TEST_F(Kvreg, AddConvertsDataForEveryType) {
    struct Case {
        const char* args;
        const char* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {"/v dec /t REG_DWORD /d 4294967295", "dec", REG_DWORD, Bytes("\xff\xff\xff\xff", 4)},
        {"/v hex /t reg_dword /d 0x2A", "hex", REG_DWORD, Bytes("\x2a\0\0\0", 4)},
        {"/v q /t REG_QWORD /d 0x100000000", "q", REG_QWORD, Bytes("\0\0\0\0\x01\0\0\0", 8)},
        {"/v bin /t REG_BINARY /d 0aFF1", "bin", REG_BINARY, Bytes("\x00\xaf\xf1", 3)},
        {"/v exp /t REG_EXPAND_SZ /d '%HOME%/x'", "exp", REG_EXPAND_SZ, Bytes("%HOME%/x\0", 9)},
        {"/v multi /t REG_MULTI_SZ /d 'a\\0bc\\0'", "multi", REG_MULTI_SZ, Bytes("a\0bc\0\0", 6)},
        {"/v sep /t REG_MULTI_SZ /s , /d 'a,b'", "sep", REG_MULTI_SZ, Bytes("a\0b\0\0", 5)},
        {"/ve /d dflt", "", REG_SZ, Bytes("dflt\0", 5)},
        {"/v empty", "empty", REG_SZ, Bytes("\0", 1)},
    };
    for (const Case& c : cases) {
        ToolResult result = Run(std::string("add HKCU\\KVTypes ") + c.args + " /f");
        EXPECT_EQ(0, result.exitCode) << c.args << ": " << result.err;
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "KVTypes", 0, KEY_READ, &key));
        BYTE data[64];
        DWORD size = sizeof(data), type = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, c.name, nullptr, &type, data, &size)) << c.args;
        EXPECT_EQ(c.data, std::string(reinterpret_cast<char*>(data), size)) << c.args;
        EXPECT_EQ(c.type, type) << c.args;
        RegCloseKey(key);
    }
    for (const char* bad : {"/v x /t REG_DWORD /d zz", "/v x /t REG_DWORD /d 4294967296", "/v x /t REG_BINARY /d 0g",
                            "/v x /t REG_FOO /d 1", "/v x /t REG_MULTI_SZ /d 'a\\0\\0b'", "/v", "/bogus"}) {
        ToolResult result = Run(std::string("add HKCU\\KVTypes /f ") + bad);
        EXPECT_EQ(1, result.exitCode) << bad;
        EXPECT_NE(std::string::npos, result.err.find("ERROR")) << bad;
    }
    LSTATUS rc = ERROR_SUCCESS;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "KVTypes", 0, KEY_READ, &key));
    DWORD size = 0;
    rc = RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size);
    RegCloseKey(key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
}

// Short and long root names reach the same keys; HKCR is HKLM\Software\Classes.
TEST_F(Kvreg, RootNamesLongShortAndClasses) {
    ASSERT_EQ(0, Run("add HKEY_LOCAL_MACHINE\\SOFTWARE\\KVRoots /v v /d long").exitCode);
    ToolResult query = Run("query hklm\\SOFTWARE\\KVRoots /v v");
    EXPECT_EQ(0, query.exitCode);
    EXPECT_NE(std::string::npos, query.out.find("    v    REG_SZ    long\n"));
    ASSERT_EQ(0, Run("add HKCR\\KVRoots.Class /ve /d cls").exitCode);
    EXPECT_EQ(Bytes("cls\0", 4), GetValue("Software\\Classes\\KVRoots.Class", nullptr));
    EXPECT_EQ(1, Run("query HKCC\\Whatever").exitCode);
}

// A missing key or value fails with reg.exe's message; a missing default prints "(value not set)".
// A store that does not exist at all is said as such, not as a missing key.
TEST_F(Kvreg, QueryMissingKeyOrValue) {
    ToolResult noStore = Run("query HKLM\\SOFTWARE\\KVNothing");
    EXPECT_EQ(1, noStore.exitCode);
    EXPECT_NE(std::string::npos, noStore.err.find("ERROR: The registry store \"" + mStore + "\" does not exist"))
        << noStore.err;
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVQuery").exitCode);
    ToolResult key = Run("query HKLM\\SOFTWARE\\KVNothing");
    EXPECT_EQ(1, key.exitCode);
    EXPECT_EQ(kNotFound, key.err);
    ToolResult value = Run("query HKLM\\SOFTWARE\\KVQuery /v nothing");
    EXPECT_EQ(1, value.exitCode);
    EXPECT_EQ(kNotFound, value.err);
    ToolResult dflt = Run("query HKLM\\SOFTWARE\\KVQuery /ve");
    EXPECT_EQ(0, dflt.exitCode);
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\KVQuery\n    (Default)    REG_SZ    (value not set)\n\n", dflt.out);
}

// /s lists the whole subtree; without it only subkey names follow the values.
TEST_F(Kvreg, QueryRecursive) {
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVTree /v top /d 1").exitCode);
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVTree\\Sub /v deep /t REG_BINARY /d 0102").exitCode);
    ToolResult flat = Run("query HKLM\\SOFTWARE\\KVTree");
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\KVTree\n    top    REG_SZ    1\n\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\KVTree\\Sub\n",
              flat.out);
    ToolResult deep = Run("query HKLM\\SOFTWARE\\KVTree /s");
    EXPECT_EQ(0, deep.exitCode);
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\KVTree\n    top    REG_SZ    1\n"
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\KVTree\\Sub\n    deep    REG_BINARY    0102\n\n",
              deep.out);
    ToolResult search = Run("query HKLM\\SOFTWARE\\KVTree /v deep /s");
    EXPECT_NE(std::string::npos, search.out.find("End of search: 1 match(es) found.")) << search.out;
}

// delete takes one value, all values, or the key with its subtree -- only with /f.
TEST_F(Kvreg, DeleteValueValuesOrKey) {
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVDel /v a /d 1").exitCode);
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVDel /v b /d 2").exitCode);
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVDel\\Sub /v c /d 3").exitCode);
    ToolResult refused = Run("delete HKLM\\SOFTWARE\\KVDel /v a");
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ(Bytes("1\0", 2), GetValue("SOFTWARE\\KVDel", "a"));
    EXPECT_EQ(0, Run("delete HKLM\\SOFTWARE\\KVDel /v a /f").exitCode);
    LSTATUS rc = ERROR_SUCCESS;
    GetValue("SOFTWARE\\KVDel", "a", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    EXPECT_EQ(1, Run("delete HKLM\\SOFTWARE\\KVDel /v a /f").exitCode);
    EXPECT_EQ(0, Run("delete HKLM\\SOFTWARE\\KVDel /va /f").exitCode);
    GetValue("SOFTWARE\\KVDel", "b", nullptr, &rc);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc);
    EXPECT_EQ(Bytes("3\0", 2), GetValue("SOFTWARE\\KVDel\\Sub", "c"));
    EXPECT_EQ(1, Run("delete HKLM\\SOFTWARE\\KVDel").exitCode);
    EXPECT_EQ(0, Run("delete HKLM\\SOFTWARE\\KVDel /f").exitCode);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVDel", 0, KEY_READ, &key));
    ToolResult missing = Run("delete HKLM\\SOFTWARE\\KVDel /f");
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_EQ(kNotFound, missing.err);
    EXPECT_EQ(1, Run("delete HKLM /f").exitCode);
}

// export writes a .reg file (never over another without /y); import brings its keys back.
TEST_F(Kvreg, ExportThenImport) {
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVMove /v s /d 'a \"quoted\" \\ value'").exitCode);
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVMove\\Sub /v d /t REG_DWORD /d 7").exitCode);
    std::string file = mDir.file("move.reg");
    ToolResult exported = Run("export HKLM\\SOFTWARE\\KVMove '" + file + "'");
    EXPECT_EQ(0, exported.exitCode) << exported.err;
    std::string text = ReadWholeFile(file);
    EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n")) << text;
    EXPECT_EQ(1, Run("export HKLM\\SOFTWARE\\KVMove '" + file + "'").exitCode);
    EXPECT_EQ(0, Run("export HKLM\\SOFTWARE\\KVMove '" + file + "' /y").exitCode);
    EXPECT_EQ(1, Run("export HKLM\\SOFTWARE\\KVMissing '" + mDir.file("none.reg") + "'").exitCode);
    EXPECT_NE(0, access(mDir.file("none.reg").c_str(), F_OK));

    ASSERT_EQ(0, Run("delete HKLM\\SOFTWARE\\KVMove /f").exitCode);
    ToolResult imported = Run("import '" + file + "'");
    EXPECT_EQ(0, imported.exitCode) << imported.err;
    EXPECT_EQ(Bytes("a \"quoted\" \\ value\0", 19), GetValue("SOFTWARE\\KVMove", "s"));
    EXPECT_EQ(Bytes("\x07\0\0\0", 4), GetValue("SOFTWARE\\KVMove\\Sub", "d"));

    EXPECT_EQ(1, Run("import '" + mDir.file("absent.reg") + "'").exitCode);
    std::string notReg = mDir.file("not.reg");
    WriteText(notReg, "hello\n");
    ToolResult bad = Run("import '" + notReg + "'");
    EXPECT_EQ(1, bad.exitCode);
    EXPECT_NE(std::string::npos, bad.err.find("not a registry file"));
    unlink(file.c_str());
    unlink(notReg.c_str());
}

// Failures a user meets say what reg.exe says in the same case: a DWORD out of range is its
// syntax error, a missing folder to export into and a folder to import are file errors, and a
// section under a root that does not exist fails the import after the rest was imported.
TEST_F(Kvreg, FailuresSayWhatRegSays) {
    ToolResult range = Run("add HKLM\\SOFTWARE\\KVTool /v d /t REG_DWORD /d 4294967296 /f");
    EXPECT_EQ(1, range.exitCode);
    EXPECT_EQ("ERROR: Invalid syntax.\nType \"KVREG ADD /?\" for usage.\n", range.err);
    ASSERT_EQ(0, Run("add HKLM\\SOFTWARE\\KVTool /v d /t REG_DWORD /d 4294967295").exitCode);

    ToolResult folder = Run("export HKLM\\SOFTWARE\\KVTool '" + mDir.file("no-folder/x.reg") + "'");
    EXPECT_EQ(1, folder.exitCode);
    EXPECT_EQ("ERROR: The system cannot find the path specified.\n", folder.err);

    ToolResult directory = Run("import '" + mDir.file("") + "'");
    EXPECT_EQ(1, directory.exitCode);
    EXPECT_EQ("ERROR: Error opening the file. There may be a disk or file system error.\n", directory.err);

    std::string file = mDir.file("roots.reg");
    WriteText(file, "Windows Registry Editor Version 5.00\n\n[HKEY_NOWHERE\\A]\n\"v\"=\"lost\"\n\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVRoots]\n\"w\"=\"kept\"\n");
    ToolResult roots = Run("import '" + file + "'");
    EXPECT_EQ(1, roots.exitCode);
    EXPECT_EQ("ERROR: Error accessing the registry.\n", roots.err);
    EXPECT_EQ(Bytes("kept\0", 5), GetValue("SOFTWARE\\KVRoots", "w"));
    unlink(file.c_str());
}

// /? prints usage and succeeds; an unknown operation is a syntax error.
TEST_F(Kvreg, UsageAndSyntax) {
    ToolResult usage = Run("/?");
    EXPECT_EQ(0, usage.exitCode);
    EXPECT_NE(std::string::npos, usage.out.find("KVREG Operation [Parameter List]"));
    EXPECT_NE(std::string::npos, usage.out.find(mStore));
    for (const char* operation : {"add", "query", "delete", "import", "export"}) {
        ToolResult help = Run(std::string(operation) + " /?");
        EXPECT_EQ(0, help.exitCode) << operation;
        EXPECT_NE(std::string::npos, help.out.find("KVREG ")) << operation;
    }
    ToolResult bogus = Run("frobnicate");
    EXPECT_EQ(1, bogus.exitCode);
    EXPECT_NE(std::string::npos, bogus.err.find("Invalid syntax"));
    EXPECT_EQ(1, Run("").exitCode);
}

}  // namespace

// A store kvreg cannot read whole is reported with its path and first bad line, for showing and
// for changing alike, and left byte for byte until it is mended; help still works.
TEST_F(Kvreg, DamagedStoreIsReportedAndLeftAlone) {
    const std::string kept = "\nkvreg shows and changes nothing in it until it is mended.\n";
    std::string broken = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVDamaged]\n"
                         "\"a\"=\"1\"\n\"b\"=\"2\n\"c\"=\"3\"\n";
    WriteText(mStore, broken);
    std::string damage = "ERROR: The registry store \"" + mStore + "\" cannot be read completely: line 5 is not understood: \"b\"=\"2" + kept;
    for (const char* args : {"query HKLM\\SOFTWARE /s", "add HKLM\\SOFTWARE\\KVDamaged /v d /d 4 /f",
                             "delete HKLM\\SOFTWARE\\KVDamaged /f", "export HKLM\\SOFTWARE x.reg /y"}) {
        ToolResult result = Run(args);
        EXPECT_EQ(1, result.exitCode) << args;
        EXPECT_EQ("", result.out) << args;
        EXPECT_EQ(damage, result.err) << args;
    }
    EXPECT_EQ(broken, ReadWholeFile(mStore));
    EXPECT_EQ(0, Run("query /?").exitCode);

    std::string binary = "\x7f" "ELF" + Bytes("\x02\x01\x01\x00\x00", 5);
    WriteText(mStore, binary);
    ToolResult result = Run("add HKLM\\SOFTWARE\\KVDamaged /v d /d 4 /f");
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("ERROR: The registry store \"" + mStore + "\" is not a text file: line 1 holds a NUL byte" + kept, result.err);
    EXPECT_EQ(binary, ReadWholeFile(mStore));
}
