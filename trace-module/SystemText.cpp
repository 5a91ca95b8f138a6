#include "SystemText.h"

#include "Traffic.h"

namespace vorntrace {

std::string utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                            nullptr);
    return bytes;
}

std::string quotedPath(const std::wstring& path)
{
    std::string quoted = "\"";
    for (const char c : vornsim::escapeTraffic(utf8(path))) {
        if (c == '"')
            quoted += "\\x22";
        else
            quoted += c;
    }
    return quoted + '"';
}

} // namespace vorntrace
