// Build step: removes the custom data that the IDL compilers (widl and MIDL alike) attach to a
// type library (compiler version, time stamp, command line), so the embedded library carries
// none. Sets the library's custom-data offset in the MSFT header to "none"; the orphaned entries
// stay unreferenced in the file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s input.tlb output.tlb\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> library((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr size_t kCustomDataOffset = 0x40;
    if (library.size() < kCustomDataOffset + 4 || std::memcmp(library.data(), "MSFT", 4) != 0) {
        std::fprintf(stderr, "%s: not an MSFT type library\n", argv[1]);
        return 1;
    }
    const std::int32_t none = -1;
    std::memcpy(library.data() + kCustomDataOffset, &none, sizeof none);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(library.data(), static_cast<std::streamsize>(library.size()));
    return out ? 0 : 1;
}
