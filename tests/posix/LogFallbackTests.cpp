// LogFallbackTests.cpp -- the fallback log file in the shared temporary folder refuses a planted link.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "Logging.h"
#include "TestSupport.h"

using namespace kvtest;

TEST(LogFallback, PlantedLinkIsNotFollowed) {
    // A symbolic link named kvr-event.log in the temporary folder does not make the log write
    // through it: the line is dropped and the link's target stays as it was.
    ScopedTempDir tmp;
    ScopedTempDir elsewhere;
    std::string victim = elsewhere.file("victim.txt");
    FILE* f = fopen(victim.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("untouched\n", f);
    fclose(f);
    std::string link = tmp.file("kvr-event.log");
    ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));

    const char* old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.path().c_str(), 1);
    SetLastError(0xdeadbeef);
    LogMessage(0, "must not land in the link's target");
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");

    EXPECT_EQ("untouched\n", ReadWholeFile(victim));
    unlink(link.c_str());

    // Without the link the same message is written to a real file there.
    setenv("TMPDIR", tmp.path().c_str(), 1);
    LogMessage(0, "a real file");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_NE(std::string::npos, ReadWholeFile(tmp.file("kvr-event.log")).find("a real file"));
}
