// RedisStatusTests.cpp -- the KVEvRedis module as the listener's /health and /metrics see it: its status while Redis is away and once a real redis-server answers.
#include "IEventManagerEx.h"
#include "IEventManagerStatus.h"
#include "../common/LogTestSupport.h"
#include "../common/ManagerTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

using namespace kvtest;

namespace {

const char kRedisKey[] = "SOFTWARE\\Korvane\\KVLumen\\EventManager\\Redis";
const char kListenerTag[] = "KVLUMEN.EventListener";
const CLSID kRedisClass = {0x3C2B7E58, 0x9A41, 0x4F0D, {0x8E, 0x6A, 0x51, 0xD7, 0xC0, 0xB4, 0xA2, 0xF3}};
typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);

std::string Narrow(BSTR text) {
    std::string narrow;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) narrow += static_cast<char>(text[i]);
    return narrow;
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

struct Status {
    bool ready = false;
    std::string summary;
    std::map<std::string, double> metrics;  // "name" or "name{labels}" -> value
};

// The metrics text must be Prometheus 0.0.4 as the listener passes it on: every sample's family
// announced by a HELP and a TYPE line before it, names prefixed "kvlumen_redis_".
Status StatusOf(IClassFactory* factory) {
    Status status;
    IEventManagerStatus* object = nullptr;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IEventManagerStatus, reinterpret_cast<void**>(&object)));
    if (!object) return status;
    VARIANT_BOOL ready = VARIANT_FALSE;
    BSTR summary = nullptr, metrics = nullptr;
    EXPECT_EQ(S_OK, object->GetStatus(&ready, &summary, &metrics));
    object->Release();
    status.ready = ready == VARIANT_TRUE;
    status.summary = Narrow(summary);
    std::istringstream lines(Narrow(metrics));
    SysFreeString(summary);
    SysFreeString(metrics);
    std::set<std::string> helped, typed;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, name;
        words >> first;
        if (first == "#") {
            std::string kind;
            words >> kind >> name;
            (kind == "HELP" ? helped : typed).insert(name);
            continue;
        }
        const std::string family = first.substr(0, first.find('{'));
        EXPECT_EQ(0u, family.rfind("kvlumen_redis_", 0)) << line;
        EXPECT_TRUE(helped.count(family) && typed.count(family)) << "no HELP and TYPE before " << line;
        double value = -1;
        EXPECT_TRUE(static_cast<bool>(words >> value)) << line;
        status.metrics[first] = value;
    }
    return status;
}

}  // namespace

TEST(RedisStatus, SaysWhyNotReadyThenCountsTheReplayOnceRedisAnswers) {
    // Redis away: deliveries are kept in the fallback folder, the status names the reason and the
    // files waiting; a real redis-server started later takes them (an earlier version's file too,
    // oldest first), and the figures follow.
    ScopedTempDir dir;
    const int port = FreePort();
    SetMachineString(kLogKey, kListenerTag, "file," + dir.file("component.log") + ",1");
    SetMachineString(kRedisKey, "address", "127.0.0.1:" + std::to_string(port));
    SetMachineDword(kRedisKey, "timeoutMs", 300);
    std::string self = SelfPath();
    HMODULE module = LoadLibraryA((self.substr(0, self.find_last_of('/') + 1) + "KVEvRedis.so").c_str());
    ASSERT_NE(nullptr, module);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, getClassObject(kRedisClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)));

    // Without a fallback folder nothing would take a message now.
    Status alone = StatusOf(factory);
    EXPECT_FALSE(alone.ready) << alone.summary;
    EXPECT_NE(std::string::npos, alone.summary.find("no fallback folder")) << alone.summary;
    SetMachineString(kRedisKey, "fallbackSpool", dir.path());
    Sleep(1100);  // settings are read again after a second

    // A file an earlier version left: the body alone, no id line. It goes first, with an id
    // made from the file.
    FILE* legacy = fopen(dir.file("event-00000000000000000001.xml").c_str(), "wb");
    ASSERT_NE(nullptr, legacy);
    fputs("<Deliver>left by an earlier version</Deliver>", legacy);
    fclose(legacy);
    EXPECT_EQ(S_OK, DeliverThrough(factory, L"<Deliver>one</Deliver>"));
    EXPECT_EQ(S_OK, DeliverThrough(factory, L"<Deliver>two</Deliver>"));
    Status away = StatusOf(factory);
    EXPECT_TRUE(away.ready) << "the fallback folder takes what Redis does not";
    EXPECT_NE(std::string::npos, away.summary.find("not connected (Connection refused)")) << away.summary;
    EXPECT_NE(std::string::npos, away.summary.find("3 files waiting")) << away.summary;
    EXPECT_EQ(0, away.metrics["kvlumen_redis_up"]);
    EXPECT_EQ(3, away.metrics["kvlumen_redis_fallback_files"]);
    EXPECT_EQ(2, away.metrics["kvlumen_redis_fallback_kept_total"]);
    EXPECT_GE(away.metrics["kvlumen_redis_failures_total{kind=\"connect\"}"], 2);

    pid_t redis = fork();
    if (redis == 0) {
        execlp("redis-server", "redis-server", "--port", std::to_string(port).c_str(), "--bind", "127.0.0.1", "--save", "",
               "--appendonly", "no", "--dir", dir.path().c_str(), "--logfile", dir.file("redis.log").c_str(), nullptr);
        _exit(127);
    }
    ASSERT_GT(redis, 0);
    Status back;
    for (int i = 0; i < 100; ++i) {
        Sleep(100);
        back = StatusOf(factory);
        if (back.metrics["kvlumen_redis_entries_replayed_total"] == 3) break;
    }
    std::string stream;
    if (FILE* cli = popen(("redis-cli -p " + std::to_string(port) + " --raw XRANGE kvlumen:events - +").c_str(), "r")) {
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof(buffer), cli)) > 0;) stream.append(buffer, got);
        pclose(cli);
    }
    kill(redis, SIGKILL);
    waitpid(redis, nullptr, 0);
    EXPECT_TRUE(back.ready);
    EXPECT_NE(std::string::npos, back.summary.find("connected to 127.0.0.1:" + std::to_string(port))) << back.summary;
    EXPECT_NE(std::string::npos, back.summary.find("0 files waiting; 3 entries replayed")) << back.summary;
    EXPECT_EQ(1, back.metrics["kvlumen_redis_up"]);
    EXPECT_EQ(3, back.metrics["kvlumen_redis_entries_replayed_total"]);
    EXPECT_EQ(3, back.metrics["kvlumen_redis_entries_added_total"]);
    // Oldest first, each with its id: the earlier version's file first, its id made from it.
    const size_t legacyAt = stream.find("<Deliver>left by an earlier version</Deliver>");
    const size_t oneAt = stream.find("<Deliver>one</Deliver>");
    EXPECT_TRUE(legacyAt != std::string::npos && oneAt != std::string::npos && legacyAt < oneAt) << stream;
    EXPECT_NE(std::string::npos, stream.find("\nid\nfile-")) << stream;
    EXPECT_EQ(std::string::npos, stream.find("KVEvRedis-entry")) << "the fallback file's first line reached the stream";
    EXPECT_EQ(0, back.metrics["kvlumen_redis_fallback_files"]);

    factory->Release();
    DeleteMachineValue(kLogKey, kListenerTag);
    DeleteMachineKey(kRedisKey);
}
