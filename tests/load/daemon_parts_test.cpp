// The daemon's rules that need no process around them: which connection
// makes room, how a stat line and a logged name are read and written, and
// how a failed front's cause is counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "agent_calls.h"
#include "agent_cause.h"
#include "connection_table.h"
#include "failure_lines.h"
#include "mur.h"
#include "peer_identity.h"
#include "request_outcome.h"
#include "usage_record.h"
#include "zorv_path_rule.h"

namespace {

using namespace brim;

TEST(ConnectionTable, MakesRoomOnlyPastTheGraceTimeFromTheProcessHoldingTheMost)
{
    ConnectionTable table;
    const auto open = [&table](pid_t pid, Millis at) {
        const struct ucred peer = {pid, 1000, 1000};
        return table.Insert(::open("/dev/null", O_RDONLY | O_CLOEXEC), peer, at);
    };
    open(10, 0);
    Connection *first = open(20, 10);
    Connection *second = open(20, 20);
    EXPECT_EQ(table.Victim(100, 250), nullptr) << "all within their grace time";
    EXPECT_EQ(table.NextVictimAt(250), 250);
    EXPECT_EQ(table.Victim(300, 250), first) << "not the oldest of all: the oldest of pid 20, which holds two";
    first->phase = BRIM_PHASE_SEND;
    EXPECT_EQ(table.Victim(300, 250), second) << "an answer on its way is not cut off";
    EXPECT_EQ(table.CountOf(20), 2);
    table.Close(*second);
    table.Close(*first);
    EXPECT_EQ(table.CountOf(20), 0);
    EXPECT_EQ(table.Count(), 1);
}

TEST(PeerIdentity, StartTimeIsField22CountedFromTheLastParenthesis)
{
    std::string line = "4242 (a) b) (c d) S";
    for (int field = 4; field <= 21; ++field) {
        line += " " + std::to_string(field);
    }
    EXPECT_EQ(StartTimeOfStatLine(line + " 987654321 23 24\n"), 987654321u);
    EXPECT_EQ(StartTimeOfStatLine(line), 0u) << "cut before field 22";
    EXPECT_EQ(StartTimeOfStatLine(line + " 98x 23"), 0u);
    EXPECT_EQ(StartTimeOfStatLine("4242 (no end S 1 2"), 0u);
    EXPECT_GT(ProcessStartTime(getpid()), 0u);
    EXPECT_EQ(ProcessStartTime(getpid()), ProcessStartTime(getpid()));
}

TEST(PeerIdentity, NamesAreEscapedSoNoReaderSeesALineBreakOrAField)
{
    char out[96];
    EscapeForLog("/a\xE2\x80\xA8" "b\xC2\x85{x}\\\n\x7f\x01", out);
    EXPECT_STREQ(out, R"(/a\xe2\x80\xa8b\xc2\x85\x7bx\x7d\x5c\x0a\x7f\x01)");
    char small[12];
    EscapeForLog("abcdefghijklmnop", small);
    EXPECT_STREQ(small, "abcdefgh...");
    EscapeForLog("abcdef\xffz", small);
    EXPECT_STREQ(small, "abcdef...") << "an escape is never cut in half";
}

FailedDecrypt FailedWith(FrontStage stage, const char *format, unsigned long libraryResult = 0)
{
    ChargeFailuresTo(1, 0);
    ForgetAgentCause();
    if (format != nullptr) {
        NoteAgentLog(559, 2, "f", 1, 0, format, 9u, 10u, libraryResult);
    }
    (void)FailureLinesAllowed(stage);
    return WhyDecryptFailed();
}

TEST(RequestOutcome, AFailedFrontIsCountedByTheCauseTheAgentGave)
{
    const char *library = "Decrypt data (domain:%u, in len:%u) failed, err(%lu).";
    EXPECT_EQ(FailedWith(FrontStage::Operation, "Base64 decode block fail, err(%d).").result, RequestResult::Malformed);
    EXPECT_EQ(FailedWith(FrontStage::Operation, library, MUR_ERR_AUTH_FAILED).result,
              RequestResult::AuthenticationFailed);
    EXPECT_EQ(FailedWith(FrontStage::Operation, library, MUR_ERR_UNKNOWN_KEY_ID).result, RequestResult::UnknownKey);
    EXPECT_EQ(FailedWith(FrontStage::Operation, library, MUR_ERR_KEY_DISABLED).result, RequestResult::KeyDisabled);
    EXPECT_EQ(FailedWith(FrontStage::Operation, nullptr).result, RequestResult::Malformed) << "an empty request";
    EXPECT_TRUE(FailedWith(FrontStage::Operation, nullptr).loaded);

    const FailedDecrypt noStore = FailedWith(FrontStage::Init, "The process has not been initialized.");
    EXPECT_EQ(noStore.result, RequestResult::StoreUnavailable);
    EXPECT_EQ(noStore.cause, StoreCause::NoKeyStore);
    EXPECT_FALSE(noStore.loaded);
    ChargeFailuresTo(1, 0);
    ForgetAgentCause();
    NoteAgentLog(559, 2, "f", 1, 0, ZORV_PATH_RULE_FORMAT, "/etc/zorvm_primary_file.dat", "is a link");
    (void)FailureLinesAllowed(FrontStage::Init);
    EXPECT_EQ(WhyDecryptFailed().cause, StoreCause::PathRule);
    EXPECT_EQ(FailedWith(FrontStage::Init, nullptr).cause, StoreCause::Unknown);
}

TEST(UsageRecord, OnlyAWholeRecordIsReadAndWhatFormatWritesReadsBack)
{
    usage::Record r;
    r.written = 1700000000;
    r.entries = {{9, 2, 5, 1700000000, 0, 0}, {0, 1, 0, 0, 3, 1699999999}, {9, 1, 18446744073709551615u, 1, 1, 1}};
    usage::Record back;
    ASSERT_EQ(usage::Parse(usage::Format(r), back), "");
    ASSERT_EQ(back.entries.size(), 3u);
    EXPECT_EQ(back.entries[0].refused, 3u) << "sorted by domain, then key id";
    EXPECT_EQ(back.entries[1].answered, 18446744073709551615u);
    const std::string head = "zorva-key-usage 1\nwritten 5\n";
    for (const std::string &bad :
         {head + "9 1 1 1 0 0", head + "9 1 01 1 0 0\n", head + "9 0 1 1 0 0\n", head + "9 1 1 1 0\n",
          head + "9 1  1 1 0 0\n", head + "9 2 1 1 0 0\n9 1 1 1 0 0\n", head + "9 1 1 1 0 0\n9 1 1 1 0 0\n",
          head + "9 1 1 9223372036854775808 0 0\n", std::string("zorva-key-usage 2\nwritten 5\n"), std::string("zorva-key-usage 1\n")}) {
        EXPECT_NE(usage::Parse(bad, back), "") << bad;
        EXPECT_TRUE(back.entries.empty());
    }
}

// The daemon's record in a folder of the test's own: counts survive a
// restart, and a damaged record is set aside, never read.
TEST(UsageRecord, CountsCarryOverARestartAndADamagedRecordIsSetAside)
{
    char tmpl[] = "/tmp/zorva_usage_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    setenv("STATE_DIRECTORY", (dir + ":/elsewhere").c_str(), 1);
    const auto read = [&] {
        std::stringstream text;
        text << std::ifstream(dir + "/key-usage").rdbuf();
        return text.str();
    };
    {
        UsageRecord record;
        record.Load(0);
        record.Answered(9, 1);
        record.Answered(9, 1);
        record.Refused(9, 2);
        record.WriteIfDue(kUsageEveryMillis);
    }
    UsageRecord again;
    again.Load(0);
    again.Answered(9, 1);
    again.Write();
    usage::Record r;
    ASSERT_EQ(usage::Parse(read(), r), "") << read();
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].answered, 3u);
    EXPECT_EQ(r.entries[1].refused, 1u);
    EXPECT_GT(r.entries[1].lastRefused, 0);
    std::ofstream(dir + "/key-usage") << "zorva-key-usage 1\nwritten 1\n9 1 1 1 0";
    UsageRecord damaged;
    damaged.Load(0);
    damaged.Write();
    EXPECT_EQ(usage::Parse(read(), r), "");
    EXPECT_TRUE(r.entries.empty()) << "counting starts afresh";
    std::stringstream aside;
    aside << std::ifstream(dir + "/key-usage.damaged").rdbuf();
    EXPECT_EQ(aside.str(), "zorva-key-usage 1\nwritten 1\n9 1 1 1 0");

    // A link planted in its place is neither read nor written through.
    const std::string target = dir + "/target";
    std::ofstream(target) << "not the daemon's";
    ASSERT_EQ(unlink((dir + "/key-usage").c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), (dir + "/key-usage").c_str()), 0);
    UsageRecord linked;
    linked.Load(0);
    linked.Answered(9, 1);
    linked.Write();
    std::stringstream kept;
    kept << std::ifstream(target).rdbuf();
    EXPECT_EQ(kept.str(), "not the daemon's");
    ASSERT_EQ(usage::Parse(read(), r), "");
    EXPECT_EQ(r.entries.size(), 1u);

    // Unchanged counts are written again only after an hour.
    const auto written = [&] { return usage::Parse(read(), r).empty() ? r.written : -1; };
    ASSERT_EQ(unlink((dir + "/key-usage").c_str()), 0);
    linked.WriteIfDue(kUsageEveryMillis);
    EXPECT_EQ(written(), -1) << "nothing new since the last write";
    linked.WriteIfDue(kUsageIdleEveryMillis);
    EXPECT_GT(written(), 0);
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
