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

bool TextOutput::Write(std::wstring_view text) const
{
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE)
        return true;
    std::wstring lines;
    lines.reserve(text.size() + 8);
    for (const wchar_t c : text) {
        if (c == L'\n')
            lines += L'\r';
        lines += c;
    }
    DWORD written = 0;
    BOOL done = FALSE;
    if (console_) {
        done = WriteConsoleW(handle_, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    } else {
        const std::string bytes = Encoded(lines, codePage_);
        done = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    if (done)
        return true;
    if (failure_ == 0)
        failure_ = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    return false;
}

bool TextOutput::WriteLine(std::wstring_view text) const
{
    return Write(std::wstring(text) + L"\n");
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
    size_t end = text_.find_first_of(L"\r\n");
    // A CR last in what has arrived may be the first half of a CR LF.
    while (!ended_ && (end == std::wstring::npos || (text_[end] == L'\r' && end + 1 == text_.size()))) {
        ReadMore();
        end = text_.find_first_of(L"\r\n");
    }
    if (text_.empty())
        return false;
    // Ctrl+Z at the start of a line ends the input, as it does for the console's own programs.
    if (console_ && text_.front() == L'\x1A') {
        text_.clear();
        ended_ = true;
        return false;
    }
    line.assign(text_, 0, end);
    size_t next = end == std::wstring::npos ? text_.size() : end + 1;
    if (end != std::wstring::npos && text_[end] == L'\r' && next < text_.size() && text_[next] == L'\n')
        ++next;
    text_.erase(0, next);
    return true;
}

void LineInput::ReadMore()
{
    if (!console_) {
        ReadBytes();
        return;
    }
    std::array<wchar_t, 256> chunk;
    DWORD read = 0;
    if (!ReadConsoleW(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) || read == 0)
        ended_ = true;
    text_.append(chunk.data(), read);
}

void LineInput::ReadBytes()
{
    std::array<char, 4096> chunk;
    DWORD read = 0;
    if (!ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) || read == 0)
        ended_ = true;
    bytes_.append(chunk.data(), read);
    if (atStart_) {
        if (bytes_.size() < kUtf8Mark.size() && !ended_)
            return;
        TakeByteOrderMark();
        atStart_ = false;
    }
    DecodeBytes();
}

void LineInput::TakeByteOrderMark()
{
    if (bytes_.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0) {
        bytes_.erase(0, kUtf8Mark.size());
        codePage_ = CP_UTF8;
    } else if (bytes_.compare(0, 2, "\xFF\xFE") == 0) {
        bytes_.erase(0, 2);
        encoding_ = Encoding::Utf16LittleEndian;
    } else if (bytes_.compare(0, 2, "\xFE\xFF") == 0) {
        bytes_.erase(0, 2);
        encoding_ = Encoding::Utf16BigEndian;
    }
}

void LineInput::DecodeBytes()
{
    if (encoding_ == Encoding::CodePage) {
        // Up to the last line end that has arrived: no code page uses the bytes of CR and LF inside a
        // character, so what comes before it is whole.
        const size_t last = bytes_.find_last_of("\r\n");
        const size_t whole = ended_ ? bytes_.size() : last == std::string::npos ? 0 : last + 1;
        text_ += Decoded(std::string_view(bytes_).substr(0, whole), codePage_);
        bytes_.erase(0, whole);
        return;
    }
    const bool little = encoding_ == Encoding::Utf16LittleEndian;
    const size_t units = bytes_.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        const auto first = static_cast<unsigned char>(bytes_[2 * i]);
        const auto second = static_cast<unsigned char>(bytes_[2 * i + 1]);
        text_ += static_cast<wchar_t>(little ? first | second << 8 : first << 8 | second);
    }
    bytes_.erase(0, units * 2);
    // A file cut in the middle of a character: the half left over is no character.
    if (ended_ && !bytes_.empty()) {
        text_ += L'\xFFFD';
        bytes_.clear();
    }
}
