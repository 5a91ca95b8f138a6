// Standard input and output as text: wide through the console API where a handle is a console,
// otherwise bytes in the console's code page (the ANSI code page when the process has no console).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The code page of redirected text: the console's, for output or for input.
UINT RedirectedOutputCodePage() noexcept;
UINT RedirectedInputCodePage() noexcept;

// Text in a code page. A character the code page lacks becomes \uHHHH rather than a look-alike or '?'.
std::string Encoded(std::wstring_view text, UINT codePage);
std::wstring Decoded(std::string_view bytes, UINT codePage);

class TextOutput {
public:
    explicit TextOutput(HANDLE handle) noexcept;
    // Unbuffered, so that standard output and error stay in order; "\n" goes out as CRLF.
    void Write(std::wstring_view text) const;
    void WriteLine(std::wstring_view text) const;

private:
    HANDLE handle_;
    bool console_;
    UINT codePage_;
};

// Owns a file handle opened for reading.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) noexcept : handle_(handle) {}
    FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

FileHandle OpenForReading(const std::wstring& path);

// Lines from a console (with its own line editing) or from a file or pipe. A file that starts with the
// UTF-8 byte order mark is read as UTF-8.
class LineInput {
public:
    explicit LineInput(HANDLE handle) noexcept;
    bool IsConsole() const noexcept { return console_; }
    // The next line without its line end; false at the end of the input.
    bool ReadLine(std::wstring& line);

private:
    bool ReadConsoleLine(std::wstring& line);
    bool ReadByteLine(std::wstring& line);

    HANDLE handle_;
    bool console_;
    UINT codePage_;
    bool atStart_ = true;
    bool ended_ = false;
    std::string bytes_;
    std::wstring typed_;
};
