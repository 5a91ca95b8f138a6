#include "AutomationString.h"

#include <vector>

BstrSlot& BstrSlot::operator=(BstrSlot&& other) noexcept
{
    if (this != &other) {
        SysFreeString(text_);
        text_ = other.text_;
        other.text_ = nullptr;
    }
    return *this;
}

BstrSlot MakeAutomationString(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return BstrSlot();
    std::vector<wchar_t> wide(static_cast<std::size_t>(length));
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text.c_str(), -1, wide.data(), length) <= 0)
        return BstrSlot();
    return BstrSlot(SysAllocString(wide.data()));
}
