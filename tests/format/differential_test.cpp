// Random formats from the directives where the engine and the C library's
// snprintf must agree, with random arguments, compared byte for byte.
// Where the two differ on purpose (null strings, precisions above 512, the
// letter I, wide text) the other tests pin the engine's own rule.
#include "format_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace {

using Arg = std::variant<int, long long, const char *>;
constexpr size_t kMaxArgs = 4; // a lone directive with two asterisks has three

constexpr const char *kStrings[] = {"", "a", "hello", "with space", "0123456789abcdefghijklmnopqrstuvwxyz", "%d%s"};

class FormatGenerator {
public:
    explicit FormatGenerator(unsigned seed) : rng_(seed) {}

    // A format of literal text and one or two directives, and its arguments.
    void Next(std::string &format, std::vector<Arg> &args)
    {
        format.clear();
        args.clear();
        AppendLiteral(format);
        const int directives = Pick(2) + 1;
        for (int i = 0; i < directives; ++i) {
            AppendDirective(format, args, directives == 1);
            AppendLiteral(format);
        }
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    void AppendLiteral(std::string &format)
    {
        static constexpr char kText[] = "abcXYZ 0123.:[]-#*";
        for (int n = Pick(4); n > 0; --n) {
            format += kText[Pick(sizeof kText - 1)];
        }
    }

    void AppendDirective(std::string &format, std::vector<Arg> &args, bool asterisksAllowed)
    {
        static constexpr char kConversions[] = "diuoxXcs%";
        const char conversion = kConversions[Pick(sizeof kConversions - 1)];
        format += '%';
        if (conversion == '%') {
            format += '%';
            return;
        }
        for (int n = Pick(4); n > 0; --n) {
            format += "-+ #0"[Pick(5)];
        }
        switch (Pick(asterisksAllowed ? 3 : 2)) {
        case 0: break;
        case 1: format += std::to_string(Pick(30) + 1); break;
        default:
            format += '*';
            args.emplace_back(Pick(61) - 30);
            break;
        }
        switch (Pick(asterisksAllowed ? 4 : 3)) {
        case 0: break;
        case 1: format += '.'; break;
        case 2: format += '.' + std::to_string(Pick(40)); break;
        default:
            format += ".*";
            args.emplace_back(Pick(61) - 30);
            break;
        }
        if (conversion == 's') {
            args.emplace_back(kStrings[Pick(std::size(kStrings))]);
        } else if (conversion == 'c') {
            args.emplace_back(Pick(255) + 1);
        } else {
            static constexpr const char *kSizes[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
            const int size = Pick(std::size(kSizes));
            format += kSizes[size];
            if (size >= 3) {
                args.emplace_back(static_cast<long long>(Random64()));
            } else {
                args.emplace_back(static_cast<int>(Random64()));
            }
        }
        format += conversion;
    }

    // Mostly small magnitudes, where widths and precisions matter, plus
    // full-width values and the extremes.
    unsigned long long Random64()
    {
        switch (Pick(4)) {
        case 0: return static_cast<unsigned long long>(Pick(2001) - 1000);
        case 1: return 1ULL << Pick(64);
        case 2: return (Pick(2) != 0) ? 0x8000000000000000ULL : 0x80000000ULL;
        default: return std::uniform_int_distribution<unsigned long long>()(rng_);
        }
    }

    std::mt19937 rng_;
};

struct Outcome {
    int result;
    std::string text;
    bool guardsIntact;
};

// Expands the argument vector into a real variadic call, one argument at a
// time, and formats with both functions.
template <typename... A>
void CallBoth(const std::string &format, size_t destMax, const std::vector<Arg> &args, size_t i, Outcome &ours,
              Outcome &theirs, A... collected)
{
    if constexpr (sizeof...(A) < kMaxArgs) {
        if (i < args.size()) {
            std::visit([&](auto v) { CallBoth(format, destMax, args, i + 1, ours, theirs, collected..., v); },
                       args[i]);
            return;
        }
    }
    GuardedBuffer dst(destMax);
    std::vector<char> buf(destMax);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    ours.result = sprintf_s(dst.chars(), destMax, format.c_str(), collected...);
    theirs.result = std::snprintf(buf.data(), destMax, format.c_str(), collected...);
#pragma GCC diagnostic pop
    ours.text = dst.chars();
    ours.guardsIntact = dst.GuardsIntact();
    theirs.text = buf.data();
    theirs.guardsIntact = true;
}

TEST(FormatDifferential, AgreesWithTheCLibrary)
{
    FormatGenerator gen(20261207);
    std::string format;
    std::vector<Arg> args;
    int mismatches = 0;
    for (int i = 0; i < 40000 && mismatches < 10; ++i) {
        gen.Next(format, args);
        ASSERT_LE(args.size(), kMaxArgs);
        Outcome ours;
        Outcome theirs;
        CallBoth(format, 256, args, 0, ours, theirs);
        ASSERT_TRUE(ours.guardsIntact) << format;
        if (ours.result != theirs.result || ours.text != theirs.text) {
            ++mismatches;
            ADD_FAILURE() << "format \"" << format << "\": sprintf_s " << ours.result << " \"" << ours.text
                          << "\", snprintf " << theirs.result << " \"" << theirs.text << "\"";
        }
    }
}

TEST(FormatDifferential, AgreesWhereTheOutputFitsAndRefusesWhereItDoesNot)
{
    // The same formats into a small destination: the C library truncates,
    // the engine delivers all or nothing.
    FormatGenerator gen(7);
    std::string format;
    std::vector<Arg> args;
    for (int i = 0; i < 5000; ++i) {
        gen.Next(format, args);
        Outcome ours;
        Outcome theirs;
        CallBoth(format, 12, args, 0, ours, theirs);
        ASSERT_TRUE(ours.guardsIntact) << format;
        if (theirs.result < 12) {
            ASSERT_EQ(ours.result, theirs.result) << format;
            ASSERT_EQ(ours.text, theirs.text) << format;
        } else {
            ASSERT_EQ(ours.result, -1) << format;
            ASSERT_EQ(ours.text, "") << format;
        }
    }
}

} // namespace
