// RegistrationToolTests.cpp -- kvregsvr, the POSIX stand-in for regsvr32: registering, unregistering, messages and exit codes.
#include "ModuleTestSupport.h"

#ifndef _WIN32

#include <stdio.h>
#include <sys/wait.h>

using namespace kvtest;

namespace {

const char kClassKey[] = "CLSID\\{9B381916-211D-4356-AB98-88F3AA3275E5}";

std::string BinFolder() {
    std::string self = SelfPath();
    return self.substr(0, self.find_last_of('/') + 1);
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Outcome {
    int exitCode;
    std::string output;
};

// Runs kvregsvr with `arguments` (already quoted for the shell), output and errors together.
Outcome RunTool(const std::string& arguments, const std::string& environment = "") {
    std::string command = environment + " " + Quoted(BinFolder() + "kvregsvr") + " " + arguments + " 2>&1";
    Outcome outcome{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return outcome;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) outcome.output.append(buffer, n);
    int status = pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class RegistrationTool : public testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        DeleteKeyTree(HKEY_CLASSES_ROOT, kClassKey);
        DeleteKeyTree(HKEY_CLASSES_ROOT, "KVLUMEN.Listener");
        DeleteKeyTree(HKEY_CLASSES_ROOT, "KVLUMEN.Listener.1");
        DeleteKeyTree(HKEY_CLASSES_ROOT, "AppID\\{2F30C806-D59B-48a2-8A09-141FB66CA0E5}");
        DeleteKeyTree(HKEY_CLASSES_ROOT, "AppID\\EventListener.DLL");
    }
};

}  // namespace

// Registers and unregisters like regsvr32, saying so unless told to be silent.
TEST_F(RegistrationTool, RegistersAndUnregisters) {
    Outcome done = RunTool(Quoted(BuiltModulePath()));
    EXPECT_EQ(0, done.exitCode) << done.output;
    EXPECT_NE(std::string::npos, done.output.find("DllRegisterServer")) << done.output;
    EXPECT_NE(std::string::npos, done.output.find("succeeded")) << done.output;
    EXPECT_EQ(BuiltModulePath(), ReadString(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InprocServer32", nullptr));

    done = RunTool("/u /s " + Quoted(BuiltModulePath()));
    EXPECT_EQ(0, done.exitCode) << done.output;
    EXPECT_EQ("", done.output);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

// A module named relative to the current folder is registered with its full path.
TEST_F(RegistrationTool, RecordsTheFullPath) {
    Outcome done = RunTool(std::string("-s ") + ModuleFileName(), "cd " + Quoted(BinFolder()) + " &&");
    EXPECT_EQ(0, done.exitCode) << done.output;
    EXPECT_EQ(BuiltModulePath(), ReadString(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InprocServer32", nullptr));
}

// Failures end with regsvr32's exit codes and name the HRESULT with the system's text for it;
// /? is the usage, not an unknown option.
TEST_F(RegistrationTool, FailuresHaveRegsvr32ExitCodes) {
    Outcome help = RunTool("/?");
    EXPECT_EQ(0, help.exitCode) << help.output;
    EXPECT_EQ(0u, help.output.find("usage: kvregsvr")) << help.output;
    EXPECT_EQ(1, RunTool("").exitCode);
    EXPECT_EQ(1, RunTool("/x " + Quoted(BuiltModulePath())).exitCode);
    EXPECT_EQ(1, RunTool(Quoted(BuiltModulePath()) + " " + Quoted(BuiltModulePath())).exitCode);

    Outcome missing = RunTool(Quoted(BinFolder() + "no-such-module.so"));
    EXPECT_EQ(3, missing.exitCode) << missing.output;
    EXPECT_NE(std::string::npos, missing.output.find("0x8007007e\nThe specified module could not be found.")) << missing.output;

    // A shared library without the entry point.
    Outcome noEntry = RunTool(Quoted(BinFolder() + "libkvposix.so"));
    EXPECT_EQ(4, noEntry.exitCode) << noEntry.output;
    EXPECT_NE(std::string::npos, noEntry.output.find("DllRegisterServer")) << noEntry.output;

    // A registry that cannot be written makes DllRegisterServer fail.
    Outcome failed = RunTool(Quoted(BuiltModulePath()), "KVLUMEN_REGISTRY=/proc/kvlumen-none/registry.reg");
    EXPECT_EQ(5, failed.exitCode) << failed.output;
    EXPECT_NE(std::string::npos, failed.output.find("Return code was: 0x80070003\nThe system cannot find the path specified.")) << failed.output;
    EXPECT_EQ(5, RunTool("/s " + Quoted(BuiltModulePath()), "KVLUMEN_REGISTRY=/proc/kvlumen-none/registry.reg").exitCode);
}

#endif
