// LogRecoveryTests.cpp -- a log file whose writes fail gets its lines again once it can take them, and after a reopen.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "Logging.h"
#include "TestSupport.h"

using namespace kvtest;

namespace {

const char kLogKey[] = "SOFTWARE\\Korvane\\KVLumen\\Logging";
const char kTag[] = "KVLUMEN.Recovery";

bool SetFileSizeLimit(rlim_t bytes) {
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    limit.rlim_cur = bytes;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace

// The file stops taking lines (as on a full disk: here the file size limit), then takes them again.
KV_TEST_CHILD(log_through_a_full_disk) {
    if (argc < 1) return 9;
    std::string path = argv[0];
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of ending us
    if (StartLogging(kTag) < 1) return 10;
    LogMessage(1, "written before the disk filled");
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !SetFileSizeLimit(static_cast<rlim_t>(info.st_size))) return 11;
    LogMessage(1, "lost while the disk is full");
    if (!SetFileSizeLimit(RLIM_INFINITY)) return 12;
    Sleep(1100);
    LogMessage(1, "written once the disk has room again");
    // Failing again, then moved away and reopened (logrotate's SIGHUP): the new file gets the lines.
    if (stat(path.c_str(), &info) != 0 || !SetFileSizeLimit(static_cast<rlim_t>(info.st_size))) return 13;
    LogMessage(1, "lost again");
    if (!SetFileSizeLimit(RLIM_INFINITY)) return 14;
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) return 15;
    KvRequestFileReopen();
    LogMessage(1, "written to the reopened file");
    EndLogging();
    return 0;
}

TEST(LogRecovery, FailedWritesAreTriedAgainAndReopenWorksAfterThem) {
    // One failed write does not silence the log for good: a second later the file is tried again,
    // and a reopen after failures opens the file anew.
    ScopedTempDir dir;
    std::string path = dir.file("recovering.log");
    ASSERT_TRUE(SetMachineString(kLogKey, kTag, "file," + path + ",1"));
    EXPECT_EQ(0u, RunChild("log_through_a_full_disk", path));
    DeleteMachineValue(kLogKey, kTag);
    std::string first = ReadWholeFile(path + ".1");
    std::string second = ReadWholeFile(path);
    EXPECT_NE(std::string::npos, first.find("written before the disk filled"));
    EXPECT_EQ(std::string::npos, first.find("lost while the disk is full"));
    EXPECT_NE(std::string::npos, first.find("written once the disk has room again")) << first;
    EXPECT_NE(std::string::npos, second.find("written to the reopened file")) << second;
}
