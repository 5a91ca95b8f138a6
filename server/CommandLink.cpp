#include "CommandLink.h"

#include "RaisedError.h"
#include "SystemText.h"
#include "modDeclarations.h"

#include <array>
#include <atomic>
#include <cstring>
#include <new>

namespace vorn {

namespace {

// Process-wide binding of one library entry, shared by every object. Lock-free: two threads that
// bind at once both load the library (it is never unloaded) and store the same address.
struct EntryBinding {
    const char* name;
    std::atomic<HMODULE> module{nullptr};
    std::atomic<FARPROC> address{nullptr};
};

// The order of Windows' search in its default, safe mode, for the error's description.
constexpr wchar_t kModuleLibrarySearch[] =
    L"Windows looks for it in the program's folder, then the system folders and the Windows folder, then the "
    L"current folder, then the folders on PATH.";

EntryBinding g_sendScpiCommand{kSendScpiCommand};
EntryBinding g_getQueryResponse{kGetQueryResponse};

std::wstring Widen(const char* ascii)
{
    return std::wstring(ascii, ascii + strlen(ascii));
}

// One reference to each library we loaded, kept for the life of the process. An entry that is
// missing fails its call, but the library stays loaded: unloading it would run its start-up and
// shut-down code again at every retry. A later load of the same module only adds a reference,
// which is dropped again so the count stays at one.
std::atomic<HMODULE> g_keptLibrary{nullptr};

HMODULE LoadModuleLibrary()
{
    const HMODULE library = LoadLibraryA(kModuleLibrary);
    if (!library) {
        const DWORD error = GetLastError();
        throw RaisedError(kFileNotFound, L"File not found: " + Widen(kModuleLibrary) +
                                             L". The module driver library could not be loaded: " +
                                             SystemMessage(error) + L" " + kModuleLibrarySearch);
    }
    HMODULE kept = nullptr;
    if (!g_keptLibrary.compare_exchange_strong(kept, library) && kept == library)
        FreeLibrary(library);
    return library;
}

template <class Entry>
Entry Bind(EntryBinding& binding)
{
    FARPROC address = binding.address.load(std::memory_order_acquire);
    if (!address) {
        const HMODULE library = LoadModuleLibrary();
        address = GetProcAddress(library, binding.name);
        if (!address) {
            throw RaisedError(kEntryNotFound, L"Can't find DLL entry point " + Widen(binding.name) + L" in " +
                                                  Widen(kModuleLibrary) + L". The library loaded from " +
                                                  ModuleFileName(library) +
                                                  L" does not export it; install the module's own driver library.");
        }
        binding.module.store(library, std::memory_order_relaxed);
        binding.address.store(address, std::memory_order_release);
    }
    // Through a plain function type: the compiler rightly warns on a direct cast from FARPROC.
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(address));
}

bool HasSurrogate(std::wstring_view text)
{
    for (wchar_t c : text)
        if (c >= 0xD800 && c <= 0xDFFF)
            return true;
    return false;
}

// Flags for converting to the ANSI code page. A character the code page lacks becomes its default
// character, never a best-fit look-alike: an ideographic space must not reach the module as a blank.
// UTF-8 has no best fit and refuses the flag; there every character beyond ASCII takes two bytes or more.
DWORD AnsiConversionFlags()
{
    static const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    return flags;
}

// The ANSI code of one character; a character that takes two bytes or more can't be sent.
char AnsiCode(wchar_t character)
{
    char code[4] = {}; // UTF-8 writes up to three bytes for one UTF-16 unit
    const int length = WideCharToMultiByte(CP_ACP, AnsiConversionFlags(), &character, 1, code, sizeof code, nullptr,
                                           nullptr);
    if (length == 1)
        return code[0];
    if (length > 1) {
        wchar_t hex[8];
        swprintf(hex, 8, L"%04X", static_cast<unsigned>(character));
        throw RaisedError(kOverflow, L"Overflow: the command text holds the character U+" + std::wstring(hex) +
                                         L", which takes " + std::to_wstring(length) + L" bytes in the ANSI code page " +
                                         std::to_wstring(GetACP()) + L". The module accepts characters of one byte only.");
    }
    const DWORD error = GetLastError();
    throw RaisedError(HRESULT_FROM_WIN32(error),
                      L"The command text could not be converted to the ANSI code page: " + SystemMessage(error));
}

bool AnsiIsSingleByte()
{
    static const bool singleByte = [] {
        CPINFO info{};
        return GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
    }();
    return singleByte;
}

} // namespace

std::pmr::string TextToBytes(std::wstring_view text, std::pmr::memory_resource* memory)
{
    const int count = static_cast<int>(text.size());
    std::pmr::string bytes(text.size() + 1, '\0', memory);
    // Every ANSI code page of Windows keeps ASCII as it is: the usual command needs no conversion.
    size_t ascii = 0;
    while (ascii < text.size() && text[ascii] < 0x80) {
        bytes[ascii] = static_cast<char>(text[ascii]);
        ++ascii;
    }
    if (ascii == text.size())
        return bytes;
    // Whole-text conversion when it is sure to give one byte per character; the per-character
    // path finds the character that doesn't fit and decides what a surrogate becomes.
    if (!HasSurrogate(text) &&
        WideCharToMultiByte(CP_ACP, AnsiConversionFlags(), text.data(), count, bytes.data(), count, nullptr,
                            nullptr) == count)
        return bytes;
    for (size_t i = 0; i < text.size(); ++i)
        bytes[i] = AnsiCode(text[i]);
    bytes[text.size()] = '\0';
    return bytes;
}

UniqueBstr BytesToText(const unsigned char* bytes, size_t count) noexcept
{
    try {
        const int length = static_cast<int>(count);
        UniqueBstr text(SysAllocStringLen(nullptr, static_cast<UINT>(count)));
        if (!text.get())
            return {};
        const auto* source = reinterpret_cast<const char*>(bytes);
        // One character per byte: in a double-byte code page each byte is converted alone, so a
        // lead byte doesn't swallow its neighbour.
        if (!AnsiIsSingleByte() || MultiByteToWideChar(CP_ACP, 0, source, length, text.get(), length) != length) {
            for (int i = 0; i < length; ++i)
                if (MultiByteToWideChar(CP_ACP, 0, source + i, 1, text.get() + i, 1) != 1)
                    return {};
        }
        const std::wstring_view whole = text.view();
        const size_t first = whole.find_first_not_of(L' ');
        if (first == std::wstring_view::npos)
            return UniqueBstr(SysAllocStringLen(L"", 0));
        const size_t last = whole.find_last_not_of(L' ');
        if (first == 0 && last + 1 == whole.size())
            return text;
        return UniqueBstr::Copy(whole.substr(first, last + 1 - first));
    } catch (...) {
        return {};
    }
}

void SendCommand(std::wstring_view command)
{
    // The command buffer lives on the stack unless the command is long.
    std::array<std::byte, 512> stack;
    std::pmr::monotonic_buffer_resource memory(stack.data(), stack.size());
    const std::pmr::string bytes = TextToBytes(command, &memory);
    const auto send = Bind<SendScpiCommandEntry>(g_sendScpiCommand);
    send(reinterpret_cast<const unsigned char*>(bytes.data()));
}

UniqueBstr ReadReply()
{
    const auto getQueryResponse = Bind<GetQueryResponseEntry>(g_getQueryResponse);
    std::array<unsigned char, kReplyBufferSize> reply{};
    LONG outValue = 0;
    getQueryResponse(reply.data(), kReplySizeTold, &outValue);
    return BytesToText(reply.data(), kReplyBytesDecoded);
}

} // namespace vorn
