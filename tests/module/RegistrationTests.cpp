// RegistrationTests.cpp -- DllRegisterServer and DllUnregisterServer: the exact registry table, repeatability, cleanup, quoted paths.
#include "ModuleTestSupport.h"

#include <oleauto.h>

#include <vector>

using namespace kvtest;

namespace {

const char kAppIdText[] = "{2F30C806-D59B-48a2-8A09-141FB66CA0E5}";
const char kClsidText[] = "{9B381916-211D-4356-AB98-88F3AA3275E5}";
const char kLibIdText[] = "{72CB3778-680C-4616-9EF7-0522E1DCC9F8}";

std::string AppIdKey() { return std::string("AppID\\") + kAppIdText; }
std::string ClassKey() { return std::string("CLSID\\") + kClsidText; }

// The keys the scripts own, each with everything below it.
std::vector<std::string> ScriptKeys() {
    return {AppIdKey(), "AppID\\EventListener.DLL", "KVLUMEN.Listener.1", "KVLUMEN.Listener", ClassKey()};
}

// Where the platform's own registrations go (type library, interface, proxy/stub class).
std::vector<std::string> PlatformKeys() {
#ifdef _WIN32
    return {std::string("TypeLib\\") + kLibIdText, "Interface\\" + GuidText(IID_IEventListener),
            "CLSID\\" + GuidText(IID_IEventListener)};
#else
    return {};
#endif
}

std::set<std::string> Snapshot() {
    std::set<std::string> all;
    std::vector<std::string> keys = ScriptKeys();
    for (const std::string& key : PlatformKeys()) keys.push_back(key);
    for (const std::string& key : keys) {
        std::set<std::string> lines = RegistryLines(HKEY_CLASSES_ROOT, key);
        all.insert(lines.begin(), lines.end());
    }
    return all;
}

std::string Show(const std::set<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

// Every test starts and ends with nothing of the component registered.
class Registration : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, SharedModule().registerServer) << SharedModule().Error();
        Clean();
    }
    void TearDown() override { Clean(); }

    static void Clean() {
        SharedModule().unregisterServer();
        for (const std::string& key : ScriptKeys()) DeleteKeyTree(HKEY_CLASSES_ROOT, key);
        for (const std::string& key : PlatformKeys()) DeleteKeyTree(HKEY_CLASSES_ROOT, key);
    }
};

}  // namespace

// Registration leaves exactly the listed keys, values and data below the keys it owns.
TEST_F(Registration, WritesExactlyTheTable) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    const std::string module = SharedModule().FileName();
    ASSERT_FALSE(module.empty());
    const std::string clsid = kClsidText;
    const std::set<std::string> expected = {
        AppIdKey(),
        AppIdKey() + " | (default) | REG_SZ | EventListener$",
        "AppID\\EventListener.DLL",
        std::string("AppID\\EventListener.DLL | AppID | REG_SZ | ") + kAppIdText + "$",
        "KVLUMEN.Listener.1",
        "KVLUMEN.Listener.1 | (default) | REG_SZ | Listener Class$",
        "KVLUMEN.Listener.1\\CLSID",
        "KVLUMEN.Listener.1\\CLSID | (default) | REG_SZ | " + clsid + "$",
        "KVLUMEN.Listener",
        "KVLUMEN.Listener | (default) | REG_SZ | Listener Class$",
        "KVLUMEN.Listener\\CLSID",
        "KVLUMEN.Listener\\CLSID | (default) | REG_SZ | " + clsid + "$",
        "KVLUMEN.Listener\\CurVer",
        "KVLUMEN.Listener\\CurVer | (default) | REG_SZ | KVLUMEN.Listener.1$",
        ClassKey(),
        ClassKey() + " | (default) | REG_SZ | Listener Class$",
        ClassKey() + " | AppID | REG_SZ | " + kAppIdText + "$",
        ClassKey() + "\\ProgID",
        ClassKey() + "\\ProgID | (default) | REG_SZ | KVLUMEN.Listener.1$",
        ClassKey() + "\\VersionIndependentProgID",
        ClassKey() + "\\VersionIndependentProgID | (default) | REG_SZ | KVLUMEN.Listener$",
        ClassKey() + "\\Programmable",
        ClassKey() + "\\InprocServer32",
        ClassKey() + "\\InprocServer32 | (default) | REG_SZ | " + module + "$",
        ClassKey() + "\\InprocServer32 | ThreadingModel | REG_SZ | Free$",
        ClassKey() + "\\TypeLib",
        ClassKey() + "\\TypeLib | (default) | REG_SZ | " + std::string(kLibIdText) + "$",
    };
    std::set<std::string> actual;
    for (const std::string& key : ScriptKeys()) {
        std::set<std::string> lines = RegistryLines(HKEY_CLASSES_ROOT, key);
        actual.insert(lines.begin(), lines.end());
    }
    EXPECT_EQ(expected, actual) << "expected:\n" << Show(expected) << "actual:\n" << Show(actual);
}

// Registering twice leaves the same registry state as registering once.
TEST_F(Registration, TwiceGivesTheSameState) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    std::set<std::string> once = Snapshot();
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    std::set<std::string> twice = Snapshot();
    EXPECT_GT(once.size(), 20u);
    EXPECT_EQ(once, twice) << "after one:\n" << Show(once) << "after two:\n" << Show(twice);
}

// ForceRemove on the class key clears stale subkeys and values before the key is written again.
TEST_F(Registration, ForceRemoveClearsStaleEntries) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    std::set<std::string> clean = RegistryLines(HKEY_CLASSES_ROOT, ClassKey());
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, ClassKey() + "\\LocalServer32", nullptr, "stale.exe"));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, ClassKey() + "\\Stale\\Deeper", "old", "value"));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, ClassKey(), "StaleValue", "old"));
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, ClassKey() + "\\InprocServer32", nullptr, "elsewhere"));

    ASSERT_EQ(S_OK, SharedModule().registerServer());
    EXPECT_EQ(clean, RegistryLines(HKEY_CLASSES_ROOT, ClassKey()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey() + "\\Stale"));
}

// Unregistration removes the component's keys and keeps the shared roots they live under.
TEST_F(Registration, UnregisterRemovesOwnKeysOnly) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    for (const std::string& key : ScriptKeys()) ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
    // Someone else's AppID beside ours must survive.
    ASSERT_TRUE(WriteString(HKEY_CLASSES_ROOT, "AppID\\KVLumenTest.Neighbour", "AppID", "{00000000-0000-0000-0000-000000000001}"));

    EXPECT_EQ(S_OK, SharedModule().unregisterServer());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\KVLumenTest.Neighbour"));
    for (const std::string& key : ScriptKeys()) EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
    for (const std::string& key : PlatformKeys()) EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
    DeleteKeyTree(HKEY_CLASSES_ROOT, "AppID\\KVLumenTest.Neighbour");
}

// A module path with single quotes is registered as it is (the scripts double the quotes).
TEST_F(Registration, QuotedModulePathIsWrittenAsItIs) {
    ScopedTempDir dir;
    std::string copyPath = dir.file(std::string("KV'EvLsn o''copy ") + ModuleFileName());
    ASSERT_TRUE(CopyWholeFile(BuiltModulePath(), copyPath));
    {
        ModuleEntryPoints copy;
        ASSERT_TRUE(copy.Load(copyPath)) << copy.Error();
        std::string loadedAs = copy.FileName();
        ASSERT_NE(std::string::npos, loadedAs.find("KV'EvLsn o''copy")) << loadedAs;
        EXPECT_EQ(S_OK, copy.registerServer());
        EXPECT_EQ(loadedAs, ReadString(HKEY_CLASSES_ROOT, ClassKey() + "\\InprocServer32", nullptr));
        EXPECT_EQ("Free", ReadString(HKEY_CLASSES_ROOT, ClassKey() + "\\InprocServer32", "ThreadingModel"));
#ifdef _WIN32
        EXPECT_EQ(loadedAs, ReadString(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(IID_IEventListener) + "\\InProcServer32", nullptr));
#endif
        EXPECT_EQ(S_OK, copy.unregisterServer());
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey()));
    }  // unloaded before the folder goes
}

#ifdef _WIN32
// Registration also registers the type library (from the module) and the proxy/stub.
TEST_F(Registration, RegistersTypeLibraryAndProxyStub) {
    ASSERT_EQ(S_OK, SharedModule().registerServer());
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_EventListenerLib, 1, 0, LANG_NEUTRAL, &library));
    library->Release();
    std::string module = SharedModule().FileName();
    EXPECT_EQ(module, ReadString(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibIdText + "\\1.0\\0\\win32", nullptr));
    std::string interfaceKey = "Interface\\" + GuidText(IID_IEventListener);
    EXPECT_EQ(GuidText(IID_IEventListener), ReadString(HKEY_CLASSES_ROOT, interfaceKey + "\\ProxyStubClsid32", nullptr));
    EXPECT_EQ(module, ReadString(HKEY_CLASSES_ROOT, "CLSID\\" + GuidText(IID_IEventListener) + "\\InProcServer32", nullptr));
}
#endif
