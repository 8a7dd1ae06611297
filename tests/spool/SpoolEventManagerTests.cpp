// SpoolEventManagerTests.cpp -- the KVEvSpool module as the listener uses it: Deliver's result and its log lines.
#include "SystemMessage.h"
#include "IEventManagerEx.h"
#include "IEventManagerStatus.h"
#include "../common/LogTestSupport.h"
#include "../common/ManagerTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace kvtest;

namespace {

const char kManagerKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager";
const char kListenerTag[] = "KVLUMEN.EventListener";
const CLSID kSpoolClass = {0x5E1C3A3B, 0x7A9D, 0x4C61, {0x9B, 0x8E, 0x2F, 0x4D, 0x6A, 0x0C, 0x9E, 0x11}};

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();

std::string ModuleBesideUs() {
    std::string self = SelfPath();
#ifdef _WIN32
    return self.substr(0, self.find_last_of("\\/") + 1) + "KVEvSpool.dll";
#else
    return self.substr(0, self.find_last_of("\\/") + 1) + "KVEvSpool.so";
#endif
}

class SpoolEventManagerTest : public testing::Test {
protected:
    void SetUp() override {
        mLog = mDir.file("component.log");
        // The listener's setting: the module follows it.
        SetMachineString(kLogKey, kListenerTag, "file," + mLog + ",2");
        DeleteMachineValue(kManagerKey, "spool");
        mModule = LoadLibraryA(ModuleBesideUs().c_str());
        ASSERT_NE(nullptr, mModule) << ModuleBesideUs();
        auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(mModule, "DllGetClassObject")));
        mCanUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(mModule, "DllCanUnloadNow")));
        ASSERT_TRUE(getClassObject && mCanUnloadNow);
        ASSERT_EQ(S_OK, getClassObject(kSpoolClass, IID_IClassFactory, reinterpret_cast<void**>(&mFactory)));
    }
    void TearDown() override {
        if (mFactory) mFactory->Release();
        // Nothing of the module lives: it closes its log (the file can go) and may unload.
        if (mCanUnloadNow) {
            EXPECT_EQ(S_OK, mCanUnloadNow());
        }
#ifdef _WIN32
        if (mModule) FreeLibrary(mModule);
#else
        // COM keeps in-process servers loaded for the life of the process on POSIX, and so does
        // this test: the log's formatting state is not made to be unloaded.
#endif
        DeleteMachineValue(kLogKey, kListenerTag);
        DeleteMachineValue(kManagerKey, "spool");
    }
    HRESULT Deliver(const wchar_t* text) { return DeliverThrough(mFactory, text); }

    // What an object says of itself: ready or not, its line, its figures.
    bool Status(std::string* summary, std::string* metrics) {
        IEventManagerStatus* status = nullptr;
        EXPECT_EQ(S_OK, mFactory->CreateInstance(nullptr, IID_IEventManagerStatus, reinterpret_cast<void**>(&status)));
        if (!status) return false;
        VARIANT_BOOL ready = VARIANT_FALSE;
        BSTR line = nullptr, figures = nullptr;
        EXPECT_EQ(S_OK, status->GetStatus(&ready, &line, &figures));
        summary->assign(line, line + SysStringLen(line));
        metrics->assign(figures, figures + SysStringLen(figures));
        SysFreeString(line);
        SysFreeString(figures);
        status->Release();
        return ready != VARIANT_FALSE;
    }

    ScopedTempDir mDir;
    std::string mLog;
    HMODULE mModule = nullptr;
    CanUnloadNowFn mCanUnloadNow = nullptr;
    IClassFactory* mFactory = nullptr;
};

}  // namespace

TEST_F(SpoolEventManagerTest, DeliverFailsWheneverTheMessageIsNotStoredAndLogsUnderItsOwnTag) {
    // No folder configured, then a folder that does not exist: Deliver fails and a level-1 line
    // tagged KVEvSpool says why, in the listener's log; a usable folder then succeeds.
    EXPECT_EQ(E_FAIL, Deliver(L"<Deliver>nowhere</Deliver>"));
    // The class object is held: the module stays, and so does its log.
    EXPECT_EQ(S_FALSE, mCanUnloadNow());
    std::string missing = mDir.file("missing");
    ASSERT_TRUE(SetMachineString(kManagerKey, "spool", missing));
    EXPECT_EQ(E_FAIL, Deliver(L"<Deliver>lost</Deliver>"));

    std::string spool = mDir.file("spool");
    ASSERT_TRUE(CreateDirectoryA(spool.c_str(), nullptr));
    ASSERT_TRUE(SetMachineString(kManagerKey, "spool", spool));
    EXPECT_EQ(S_OK, Deliver(L"<Deliver>kept</Deliver>"));

    std::vector<std::string> failures;
    for (const std::string& line : SplitLines(ReadWholeFile(mLog)))
        if (line.find("/1] KVEvSpool::") != std::string::npos) failures.push_back(line);
    ASSERT_EQ(2u, failures.size()) << ReadWholeFile(mLog);
    EXPECT_NE(std::string::npos, failures[0].find("no spool folder")) << failures[0];
    EXPECT_NE(std::string::npos, failures[0].find("26 bytes")) << failures[0];
    EXPECT_NE(std::string::npos, failures[1].find(missing)) << failures[1];
    EXPECT_NE(std::string::npos, failures[1].find("23 bytes")) << failures[1];
    EXPECT_NE(std::string::npos, failures[1].find(ErrorText(ERROR_PATH_NOT_FOUND))) << failures[1];
}

TEST_F(SpoolEventManagerTest, SaysWhetherItCanStoreAndHowManyEventsWait) {
    // Through the status interface: not ready without a folder or with one that takes no file;
    // ready with a usable one, counting the events no reader has taken.
    std::string summary, metrics;
    EXPECT_FALSE(Status(&summary, &metrics));
    EXPECT_NE(std::string::npos, summary.find("no spool folder")) << summary;
    EXPECT_NE(std::string::npos, metrics.find("\nkvlumen_spool_ready 0\n")) << metrics;
    std::string missing = mDir.file("missing");
    ASSERT_TRUE(SetMachineString(kManagerKey, "spool", missing));
    EXPECT_FALSE(Status(&summary, &metrics));
    EXPECT_NE(std::string::npos, summary.find("takes no new file")) << summary;

    std::string spool = mDir.file("spool");
    ASSERT_TRUE(CreateDirectoryA(spool.c_str(), nullptr));
    ASSERT_TRUE(SetMachineString(kManagerKey, "spool", spool));
    EXPECT_EQ(S_OK, Deliver(L"<Deliver>one</Deliver>"));
    EXPECT_EQ(S_OK, Deliver(L"<Deliver>two</Deliver>"));
    EXPECT_TRUE(Status(&summary, &metrics));
    EXPECT_EQ("spool folder " + spool + ": writable, 2 event(s) waiting", summary);
    EXPECT_NE(std::string::npos, metrics.find("# TYPE kvlumen_spool_files_waiting gauge\nkvlumen_spool_files_waiting 2\n"))
        << metrics;
}
