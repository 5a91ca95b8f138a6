#include "ConsoleText.h"

#include <array>
#include <cstdio>

namespace {
bool IsConsoleHandle(HANDLE handle) noexcept
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

std::string Convert(std::wstring_view text, UINT codePage, DWORD flags, BOOL* usedDefault)
{
    if (text.empty())
        return {};
    const int wide = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, flags, text.data(), wide, nullptr, 0, nullptr, usedDefault);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0)
        WideCharToMultiByte(codePage, flags, text.data(), wide, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
} // namespace

UINT RedirectedOutputCodePage() noexcept
{
    const UINT console = GetConsoleOutputCP();
    return console != 0 ? console : GetACP();
}

UINT RedirectedInputCodePage() noexcept
{
    const UINT console = GetConsoleCP();
    return console != 0 ? console : GetACP();
}

std::string Encoded(std::wstring_view text, UINT codePage)
{
    if (codePage == CP_UTF8 || codePage == CP_UTF7)
        return Convert(text, codePage, 0, nullptr);
    BOOL usedDefault = FALSE;
    std::string whole = Convert(text, codePage, WC_NO_BEST_FIT_CHARS, &usedDefault);
    if (!usedDefault)
        return whole;
    // Rare: find the characters the code page lacks, one at a time.
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t length = IsHighSurrogate(text[i]) && i + 1 < text.size() ? 2 : 1;
        const std::wstring_view one = text.substr(i, length);
        usedDefault = FALSE;
        std::string bytes = Convert(one, codePage, WC_NO_BEST_FIT_CHARS, &usedDefault);
        if (usedDefault) {
            for (const wchar_t unit : one) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
                out += escape;
            }
        } else {
            out += bytes;
        }
        i += length;
    }
    return out;
}

std::wstring Decoded(std::string_view bytes, UINT codePage)
{
    if (bytes.empty())
        return {};
    const int narrow = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(codePage, 0, bytes.data(), narrow, nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    if (size > 0)
        MultiByteToWideChar(codePage, 0, bytes.data(), narrow, text.data(), size);
    return text;
}

TextOutput::TextOutput(HANDLE handle) noexcept
    : handle_(handle), console_(IsConsoleHandle(handle)), codePage_(RedirectedOutputCodePage())
{
}

void TextOutput::Write(std::wstring_view text) const
{
    std::wstring lines;
    lines.reserve(text.size() + 8);
    for (const wchar_t c : text) {
        if (c == L'\n')
            lines += L'\r';
        lines += c;
    }
    DWORD written = 0;
    if (console_) {
        WriteConsoleW(handle_, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Encoded(lines, codePage_);
    WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void TextOutput::WriteLine(std::wstring_view text) const
{
    Write(std::wstring(text) + L"\n");
}

FileHandle::~FileHandle()
{
    if (valid())
        CloseHandle(handle_);
}

FileHandle OpenForReading(const std::wstring& path)
{
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

LineInput::LineInput(HANDLE handle) noexcept
    : handle_(handle), console_(IsConsoleHandle(handle)), codePage_(RedirectedInputCodePage())
{
}

bool LineInput::ReadLine(std::wstring& line)
{
    return console_ ? ReadConsoleLine(line) : ReadByteLine(line);
}

bool LineInput::ReadConsoleLine(std::wstring& line)
{
    size_t end = typed_.find(L'\n');
    while (end == std::wstring::npos && !ended_) {
        std::array<wchar_t, 256> chunk;
        DWORD read = 0;
        if (!ReadConsoleW(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) || read == 0)
            ended_ = true;
        typed_.append(chunk.data(), read);
        end = typed_.find(L'\n');
    }
    // Ctrl+Z at the start of a line ends the input, as it does for the console's own programs.
    if (typed_.empty() || typed_.front() == L'\x1A') {
        typed_.clear();
        return false;
    }
    line = typed_.substr(0, end);
    typed_.erase(0, end == std::wstring::npos ? end : end + 1);
    if (!line.empty() && line.back() == L'\r')
        line.pop_back();
    return true;
}

bool LineInput::ReadByteLine(std::wstring& line)
{
    size_t end = bytes_.find('\n');
    while (end == std::string::npos && !ended_) {
        std::array<char, 4096> chunk;
        DWORD read = 0;
        if (!ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) || read == 0)
            ended_ = true;
        bytes_.append(chunk.data(), read);
        if (atStart_ && (bytes_.size() >= kUtf8Mark.size() || ended_)) {
            atStart_ = false;
            if (bytes_.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0) {
                bytes_.erase(0, kUtf8Mark.size());
                codePage_ = CP_UTF8;
            }
        }
        end = bytes_.find('\n');
    }
    if (bytes_.empty() && ended_)
        return false;
    std::string_view raw(bytes_.data(), end == std::string::npos ? bytes_.size() : end);
    if (!raw.empty() && raw.back() == '\r')
        raw.remove_suffix(1);
    line = Decoded(raw, codePage_);
    atStart_ = false;
    bytes_.erase(0, end == std::string::npos ? end : end + 1);
    return true;
}
