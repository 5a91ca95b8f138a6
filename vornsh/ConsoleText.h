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
    // Unbuffered, so that standard output and error stay in order; "\n" goes out as CRLF. False when
    // the text could not be written (a pipe closed by its reader, a full disk). A process started
    // without the handle at all has nowhere to write to: that is no failure.
    bool Write(std::wstring_view text) const;
    bool WriteLine(std::wstring_view text) const;
    // The system's error code of the first write that failed; 0 while every write succeeded.
    DWORD Failure() const noexcept { return failure_; }

private:
    HANDLE handle_;
    bool console_;
    UINT codePage_;
    mutable DWORD failure_ = 0;
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

// Lines from a console (with its own line editing) or from a file or pipe. A file that starts with a
// byte order mark is read in that encoding: UTF-8, or UTF-16 little- or big-endian (what Notepad's
// "Unicode" and PowerShell 5's redirection write). CR LF, LF and a lone CR each end a line, so that no
// CR is left inside one (CR CR LF is a line and an empty one).
class LineInput {
public:
    explicit LineInput(HANDLE handle) noexcept;
    bool IsConsole() const noexcept { return console_; }
    // The next line without its line end; false at the end of the input.
    bool ReadLine(std::wstring& line);

private:
    enum class Encoding { CodePage, Utf16LittleEndian, Utf16BigEndian };
    void ReadMore();
    void ReadBytes();
    void TakeByteOrderMark();
    void DecodeBytes();

    HANDLE handle_;
    bool console_;
    UINT codePage_;
    Encoding encoding_ = Encoding::CodePage;
    bool atStart_ = true;
    bool ended_ = false;
    std::string bytes_; // read, not yet decoded
    std::wstring text_; // decoded, not yet handed out
};
