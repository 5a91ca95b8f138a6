// HiSLIP's wire format: every message is a 16-byte header ("HS", type, control code, a 32-bit parameter,
// the 64-bit length of the payload that follows, big-endian) and its payload. Parsing takes the header
// alone, so that a length announced is never allocated before it is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lan::hislip {

enum class Type : std::uint8_t {
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    AsyncMaxMsgSize = 15,
    AsyncMaxMsgSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
};
// Types from here up are the vendors' own.
constexpr std::uint8_t kFirstVendorType = 128;

// FatalError's codes: the connection ends after it.
enum class Fatal : std::uint8_t {
    Unidentified = 0,
    PoorlyFormedHeader = 1,
    ChannelsNotEstablished = 2, // a message that needs both channels before the asynchronous one came
    InvalidInitialization = 3,
    TooManyClients = 4,
};

// Error's codes: the message is discarded, the connection goes on.
enum class Error : std::uint8_t {
    Unidentified = 0,
    UnrecognizedType = 1,
    UnrecognizedControlCode = 2,
    UnrecognizedVendorType = 3,
    MessageTooLarge = 4,
};

constexpr std::size_t kHeaderSize = 16;

struct Header {
    std::uint8_t type = 0;
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0; // of the payload that follows

    bool Is(Type wanted) const noexcept { return type == static_cast<std::uint8_t>(wanted); }
};

// The header in the first kHeaderSize bytes of `bytes`; nullopt when there are fewer or the prologue
// isn't "HS" (the stream has lost its framing).
std::optional<Header> ParseHeader(std::string_view bytes) noexcept;

// A whole message, header and payload, appended to `out`.
void AppendMessage(std::string& out, Type type, std::uint8_t control, std::uint32_t parameter,
                   std::string_view payload = {});
std::string Message(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {});

// A version as the Initialize messages carry it: major in the high byte, minor in the low one.
constexpr std::uint16_t Version(std::uint8_t major, std::uint8_t minor) noexcept
{
    return static_cast<std::uint16_t>(major << 8 | minor);
}

// The 64-bit big-endian value AsyncMaxMsgSize and its response carry; nullopt unless exactly 8 bytes.
std::optional<std::uint64_t> ParseSize(std::string_view payload) noexcept;
std::string SizePayload(std::uint64_t size);

} // namespace lan::hislip
