// The daemon's rules that need no process around them: which connection
// makes room, how a stat line and a logged name are read and written, and
// how a failed front's cause is counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "agent_calls.h"
#include "agent_cause.h"
#include "connection_table.h"
#include "failure_lines.h"
#include "mur.h"
#include "peer_identity.h"
#include "request_outcome.h"
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

} // namespace
