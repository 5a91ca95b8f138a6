// XDR, the encoding ONC RPC carries: big-endian 32-bit units, variable-length data counted and padded
// to a multiple of four bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lan {

class XdrWriter {
public:
    void Uint32(std::uint32_t value);
    void Int32(std::int32_t value) { Uint32(static_cast<std::uint32_t>(value)); }
    void Bool(bool value) { Uint32(value ? 1 : 0); }
    // Variable-length opaque data or a string: the count, the bytes, zeros up to a multiple of four.
    void Opaque(std::string_view bytes);

    const std::string& Bytes() const noexcept { return bytes_; }
    std::string Take() noexcept { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Reads from bytes it doesn't own. A read past the end, a count above its limit or a bool that is
// neither 0 nor 1 makes the reader fail for good: every later read gives zero or nothing, and Ok()
// says false. Callers read everything, then check once.
class XdrReader {
public:
    explicit XdrReader(std::string_view bytes) noexcept : bytes_(bytes) {}

    std::uint32_t Uint32() noexcept;
    std::int32_t Int32() noexcept { return static_cast<std::int32_t>(Uint32()); }
    bool Bool() noexcept;
    // Variable-length data of at most `limit` bytes, a view into the reader's bytes.
    std::string_view Opaque(std::size_t limit) noexcept;

    bool Ok() const noexcept { return ok_; }
    std::size_t Remaining() const noexcept { return ok_ ? bytes_.size() - at_ : 0; }
    void Fail() noexcept { ok_ = false; }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

} // namespace lan
