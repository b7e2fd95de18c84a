// Forwards the key-management component's log lines to the caller's log
// function: drops chatty lines, neutralises special characters in place and
// re-emits the line in one comma-separated format.
#include <array>
#include <cstring>
#include <string_view>

#include "agent_log.h"

using namespace zorva;

namespace {

// A component line containing one of these anywhere is not forwarded.
constexpr std::array<const char *, 8> kFilterPhrases = {
    "QintRegFuncEx success", "CfgSetMkMaxCount count", "initialized successful", "Read ksf index=",
    "Total fileCount",       "total dest files",       "with update counter",    "role is set to",
};

constexpr std::array<std::pair<char, char>, 12> kReplacements = {{
    {'/', '|'},
    {'<', '-'},
    {'>', '+'},
    {'~', '^'},
    {'#', '*'},
    {'@', '$'},
    {'[', '{'},
    {']', '}'},
    {'\r', ' '},
    {'\n', ' '},
    {'\t', ' '},
    {'\v', ' '},
}};

constexpr std::array<char, 256> MakeReplacementTable()
{
    std::array<char, 256> table{};
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<char>(i);
    }
    for (const auto &[from, to] : kReplacements) {
        table[static_cast<unsigned char>(from)] = to;
    }
    return table;
}

constexpr std::array<char, 256> kReplacementTable = MakeReplacementTable();

struct AgentLevel {
    int32_t level;
    int32_t code;
};

constexpr AgentLevel MapComponentLevel(int componentLevel)
{
    switch (componentLevel) {
    case 2:
        return {ZORVA_LOG_ERROR, kCodeComponentError};
    case 1:
        return {ZORVA_LOG_INFO, kCodeComponentInfo};
    default:
        return {ZORVA_LOG_EVENT, kCodeComponentOther};
    }
}

} // namespace

extern "C" {

void ZORVA_SpecialCharReplace(char *text)
{
    if (text == nullptr) {
        return;
    }
    for (char *p = text; *p != '\0'; ++p) {
        *p = kReplacementTable[static_cast<unsigned char>(*p)];
    }
}

void ZORVA_ZorvLog(int level, const char *text1, const char *text2, int number, char *message)
{
    if (text1 == nullptr || text2 == nullptr || message == nullptr) {
        return;
    }
    for (const char *phrase : kFilterPhrases) {
        if (std::strstr(message, phrase) != nullptr) {
            return;
        }
    }
    ZORVA_SpecialCharReplace(message);
    const AgentLevel out = MapComponentLevel(level);
    ZORVA_LOG(out.level, out.code, "ZORVA_ZorvLog", "%d,%s,%s,%d,%s.", level, text1, text2, number, message);
}
}
