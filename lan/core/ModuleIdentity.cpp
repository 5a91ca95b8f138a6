#include "ModuleIdentity.h"

#include "CodePage.h"

#include <vector>

std::optional<ModuleIdentity> ParseIdentity(std::string_view reply)
{
    std::vector<std::string> fields(1);
    for (const char c : reply) {
        if (c == ',')
            fields.emplace_back();
        else if (c != '\n' && c != '\r')
            fields.back() += c;
    }
    if (reply.empty() || fields.size() < 4)
        return std::nullopt;
    return ModuleIdentity{codepage::AnsiToUtf8(fields[0]), codepage::AnsiToUtf8(fields[1]),
                          codepage::AnsiToUtf8(fields[2]), codepage::AnsiToUtf8(fields[3]), true};
}
