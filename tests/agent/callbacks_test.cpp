#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "agent_fixture.h"

namespace zorva_test {
namespace {

class CallbacksTest : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        ASSERT_EQ(InitA(), 0);
        cb_ = g_pstZorvaCallBack;
        RecorderA().Clear();
    }
    QintCallbacks cb_{};
};

TEST_F(CallbacksTest, CheckPathComparesTheResolvedPathWithThePrefix)
{
    const std::string file = dir_.Write("sub/file.dat", "data");
    const std::string sub = dir_ / "sub";
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), file.c_str()), 0);
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), sub.c_str()), 0);
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), (sub + "/").c_str()), 0);
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), "/nowhere"), -1);
    // The prefix ends at a '/' of the path or at its end, never inside a name.
    const std::string longer = dir_.Write("sub/file.dat.evil", "data");
    EXPECT_EQ(ZORVA_CheckPath(longer.c_str(), file.c_str()), -1);
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), (dir_ / "su").c_str()), -1);
    EXPECT_EQ(ZORVA_CheckPath((file + ".new").c_str(), file.c_str()), -1) << "not yet existing, same rule";
    EXPECT_EQ(ZORVA_CheckPath(file.c_str(), "/"), 0);
    // Null or empty prefix: accepted without resolving anything.
    EXPECT_EQ(ZORVA_CheckPath("relative/../x", nullptr), 0);
    EXPECT_EQ(ZORVA_CheckPath("relative/../x", ""), 0);

    // A path through a file as if it were a directory cannot be resolved.
    const std::string throughFile = file + "/x";
    EXPECT_EQ(ZORVA_CheckPath(throughFile.c_str(), throughFile.c_str()), -1);
    const auto lines = RecorderA().WithFormat("Realpath(%s) failed, errno:%d");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Realpath(" + throughFile + ") failed, errno:" + std::to_string(ENOTDIR));
    EXPECT_EQ(lines[0].code, 25107);
}

TEST_F(CallbacksTest, CheckPathOfAPathThatDoesNotExistYet)
{
    dir_.Write("sub/file.dat", "data");
    const std::string fresh = dir_ / "sub/new/deeper.dat";
    EXPECT_EQ(ZORVA_CheckPath(fresh.c_str(), fresh.c_str()), 0);
    EXPECT_EQ(ZORVA_CheckPath(fresh.c_str(), (dir_ / "sub").c_str()), 0);
    EXPECT_EQ(ZORVA_CheckPath(fresh.c_str(), "/elsewhere"), -1);

    // Written with "..", "." or a doubled separator, relative, or ending in a
    // separator: refused, since it could not be compared once resolved.
    const std::string refused[] = {dir_ / "sub/../new.dat", dir_ / "./new.dat", dir_.Path() + "//new.dat",
                                   "relative-new.dat", dir_ / "newdir/"};
    for (const std::string &p : refused) {
        EXPECT_EQ(ZORVA_CheckPath(p.c_str(), p.c_str()), -1) << p;
    }

    // A dangling link, or a missing file below a linked directory, would
    // lead a created file elsewhere.
    const std::string target = dir_ / "target.dat";
    std::filesystem::create_symlink(target, dir_ / "dangling.dat");
    std::filesystem::create_directory_symlink(dir_ / "sub", dir_ / "linkdir");
    for (const std::string &p : {dir_ / "dangling.dat", dir_ / "linkdir/new.dat"}) {
        EXPECT_EQ(ZORVA_CheckPath(p.c_str(), p.c_str()), -1) << p;
        EXPECT_EQ(cb_.fileOpen(p.c_str(), QINT_OPEN_WRITE), nullptr) << p;
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "sub/new.dat"));
    EXPECT_TRUE(RecorderA().WithFormat("Realpath(%s) failed, errno:%d").empty());
}

TEST_F(CallbacksTest, OpenRefusesPathsThatDoNotResolveToThemselves)
{
    const std::string file = dir_.Write("sub/file.dat", "data");
    std::filesystem::create_symlink(file, dir_ / "link.dat");
    const std::string refused[] = {
        dir_ / "sub/../sub/file.dat", dir_ / "sub/./file.dat", dir_.Path() + "//sub/file.dat",
        dir_ / "link.dat",
        // Not existing yet, but reached through ".." or a link: refused too.
        dir_ / "sub/../new.dat",
    };
    for (const std::string &p : refused) {
        RecorderA().Clear();
        EXPECT_EQ(cb_.fileOpen(p.c_str(), QINT_OPEN_READ), nullptr) << p;
        const auto lines = RecorderA().WithFormat("File path invalid, please check(%s).");
        ASSERT_EQ(lines.size(), 1u) << p;
        EXPECT_EQ(lines[0].message, "File path invalid, please check(" + p + ").");
        EXPECT_EQ(lines[0].function, "ZORVA_CallBackFopen");
        EXPECT_EQ(lines[0].code, 25107);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "new.dat"));

    // Relative path to an existing file.
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
    EXPECT_EQ(cb_.fileOpen("sub/file.dat", QINT_OPEN_READ), nullptr);
    ASSERT_EQ(chdir(cwd.c_str()), 0);

    // The canonical path opens.
    void *stream = cb_.fileOpen(file.c_str(), QINT_OPEN_READ);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(cb_.fileClose(stream), 0);
}

TEST_F(CallbacksTest, OpenModes)
{
    const std::string fresh = dir_ / "fresh.dat";
    void *w = cb_.fileOpen(fresh.c_str(), QINT_OPEN_WRITE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(cb_.fileWrite("abcdef", 6, w), QINT_TRUE);
    EXPECT_EQ(cb_.fileFlush(w), 0);
    EXPECT_EQ(cb_.fileClose(w), 0);
    EXPECT_EQ(std::filesystem::file_size(fresh), 6u);

    // w+b truncates and reads back what it wrote.
    void *rw = cb_.fileOpen(fresh.c_str(), QINT_OPEN_READWRITE);
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(cb_.fileTell(rw), 0);
    EXPECT_EQ(cb_.fileWrite("xy", 2, rw), QINT_TRUE);
    EXPECT_EQ(cb_.fileSeek(rw, 0, SEEK_SET), 0);
    char back[4] = {};
    EXPECT_EQ(cb_.fileRead(back, 2, rw), QINT_TRUE);
    EXPECT_STREQ(back, "xy");
    EXPECT_EQ(cb_.fileClose(rw), 0);
    EXPECT_EQ(std::filesystem::file_size(fresh), 2u);

    EXPECT_EQ(cb_.fileOpen(fresh.c_str(), 3), nullptr);
    EXPECT_EQ(cb_.fileOpen(fresh.c_str(), -1), nullptr);
    // A missing file in read mode: fopen fails, nothing logged.
    EXPECT_EQ(cb_.fileOpen((dir_ / "absent.dat").c_str(), QINT_OPEN_READ), nullptr);
    EXPECT_TRUE(RecorderA().Lines().empty());

    EXPECT_EQ(cb_.fileExist(fresh.c_str()), QINT_TRUE);
    EXPECT_EQ(cb_.fileRemove(fresh.c_str()), 0);
    EXPECT_EQ(cb_.fileExist(fresh.c_str()), QINT_FALSE);
    EXPECT_NE(cb_.fileRemove(fresh.c_str()), 0);
}

TEST_F(CallbacksTest, ReadPastEndSeekAndStreamErrors)
{
    const std::string file = dir_.Write("four.dat", "1234");
    void *r = cb_.fileOpen(file.c_str(), QINT_OPEN_READ);
    ASSERT_NE(r, nullptr);
    int eof = -1;
    EXPECT_EQ(cb_.fileEof(r, &eof), 0);
    EXPECT_EQ(eof, 0);

    EXPECT_EQ(cb_.fileSeek(r, 2, SEEK_SET), 0);
    EXPECT_EQ(cb_.fileSeek(r, 3, 3), -1);
    EXPECT_EQ(cb_.fileSeek(r, 0, -1), -1);
    EXPECT_EQ(cb_.fileTell(r), 2);
    EXPECT_EQ(cb_.fileSeek(r, -1, SEEK_END), 0);
    EXPECT_EQ(cb_.fileTell(r), 3);
    EXPECT_EQ(cb_.fileSeek(r, -3, SEEK_CUR), 0);
    EXPECT_EQ(cb_.fileTell(r), 0);

    char buffer[10] = {};
    EXPECT_EQ(cb_.fileRead(buffer, sizeof buffer, r), QINT_TRUE);
    EXPECT_STREQ(buffer, "1234");
    EXPECT_EQ(cb_.fileEof(r, &eof), 0);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(cb_.fileError(r), 0);

    // Writing to a stream opened for reading sets its error indicator.
    EXPECT_EQ(cb_.fileWrite("z", 1, r), QINT_FALSE);
    auto lines = RecorderA().WithFormat("ZORVA: Failed to fwrite, writeBytes(%d), err(%d:%s).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].function, "ZORVA_CallbackFwrite");
    EXPECT_EQ(lines[0].code, 25137);
    EXPECT_EQ(lines[0].message.rfind("ZORVA: Failed to fwrite, writeBytes(0), err(", 0), 0u);
    EXPECT_NE(cb_.fileError(r), 0);
    EXPECT_EQ(cb_.fileClose(r), 0);

    // Reading from a stream opened for writing.
    void *w = cb_.fileOpen((dir_ / "out.dat").c_str(), QINT_OPEN_WRITE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(cb_.fileRead(buffer, 4, w), QINT_FALSE);
    lines = RecorderA().WithFormat("ZORVA: Failed to fread, readBytes(%d), err(%d:%s).");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].function, "ZORVA_CallbackFread");
    EXPECT_EQ(cb_.fileClose(w), 0);
}

TEST_F(CallbacksTest, ProcessLockStubsTimeAndEvents)
{
    int untouched = 0x5A5A;
    EXPECT_EQ(cb_.procLockCreate(&untouched), QINT_TRUE);
    cb_.procLockAcquire(&untouched);
    cb_.procLockRelease(&untouched);
    cb_.procLockDestroy(&untouched);
    EXPECT_EQ(untouched, 0x5A5A);

    const time_t t = 86400 * 365;
    struct tm tm {};
    EXPECT_EQ(cb_.gmTime(&t, &tm), QINT_TRUE);
    EXPECT_EQ(tm.tm_year, 71);
    EXPECT_EQ(tm.tm_yday, 0);
    EXPECT_EQ(tm.tm_hour, 0);
    const time_t huge = static_cast<time_t>(1) << 62;
    EXPECT_EQ(cb_.gmTime(&huge, &tm), QINT_FALSE);

    unsigned char random[16] = {};
    EXPECT_EQ(cb_.randomBytes(random, sizeof random), 1);

    cb_.notify(7, nullptr, 3);
    EXPECT_TRUE(RecorderA().Lines().empty());
    cb_.notify(7, "abc", 3);
    cb_.doEvents();
    const auto lines = RecorderA().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "ZORV event code(7), lenth(3).");
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[0].code, 25128);
    EXPECT_EQ(lines[0].function, "ZORVA_RecvNotify");
    EXPECT_EQ(lines[1].format, "ZORVA do events.");
    EXPECT_EQ(lines[1].level, 5);
    EXPECT_EQ(lines[1].code, 25153);
}

} // namespace
} // namespace zorva_test
