// Automation strings handed to the server by reference.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// Owns one BSTR that is lent to a call by reference: the server may free it and store another in its place,
// and whatever the slot holds afterwards is freed here.
class BstrSlot {
public:
    BstrSlot() noexcept = default;
    explicit BstrSlot(BSTR text) noexcept : text_(text) {}
    BstrSlot(BstrSlot&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    BstrSlot& operator=(BstrSlot&& other) noexcept;
    BstrSlot(const BstrSlot&) = delete;
    BstrSlot& operator=(const BstrSlot&) = delete;
    ~BstrSlot() { SysFreeString(text_); }

    BSTR& Get() noexcept { return text_; }
    BSTR Get() const noexcept { return text_; }

private:
    BSTR text_ = nullptr;
};

// The text of the ANSI code page as a precomposed UTF-16 automation string; a null string if it doesn't convert.
BstrSlot MakeAutomationString(const std::string& text);
