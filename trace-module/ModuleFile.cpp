#include "ModuleFile.h"

#include "Handles.h"

#include <windows.h>

#include <vector>

namespace vorntrace {
namespace {

class FileReader {
public:
    explicit FileReader(HANDLE file) : file_(file) {}

    bool read(DWORD offset, void* into, DWORD size) const
    {
        LARGE_INTEGER at{};
        at.QuadPart = offset;
        DWORD got = 0;
        return SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) && ReadFile(file_, into, size, &got, nullptr) &&
               got == size;
    }

    template <class T>
    bool read(DWORD offset, T& into) const
    {
        return read(offset, &into, sizeof into);
    }

    // A zero-terminated name of at most 255 characters.
    bool readName(DWORD offset, std::string& name) const
    {
        char buffer[256] = {};
        LARGE_INTEGER at{};
        at.QuadPart = offset;
        DWORD got = 0;
        if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) || !ReadFile(file_, buffer, 255, &got, nullptr))
            return false;
        name.assign(buffer, strnlen(buffer, got));
        return true;
    }

private:
    HANDLE file_;
};

template <class OffsetOf>
void readImports(const FileReader& reader, const IMAGE_NT_HEADERS& nt, const OffsetOf& offsetOf, ModuleFile& result)
{
    const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    DWORD offset = 0;
    if (directory.Size == 0 || !offsetOf(directory.VirtualAddress, offset))
        return;
    constexpr int maxLibraries = 4096, maxFunctions = 65536; // bounds for a damaged file
    for (int library = 0; library < maxLibraries; ++library, offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor{};
        DWORD at = 0;
        std::string name;
        if (!reader.read(offset, descriptor) || descriptor.Name == 0 || !offsetOf(descriptor.Name, at) ||
            !reader.readName(at, name))
            return;
        std::set<std::string>& functions = result.imports[name];
        const DWORD thunks = descriptor.OriginalFirstThunk ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        DWORD thunkAt = 0;
        if (!offsetOf(thunks, thunkAt))
            continue;
        // Entries are pointer-sized; by name, the low 32 bits hold the address of the hint and name.
        for (int i = 0; i < maxFunctions; ++i, thunkAt += sizeof(IMAGE_THUNK_DATA)) {
            IMAGE_THUNK_DATA thunk{};
            if (!reader.read(thunkAt, thunk) || thunk.u1.AddressOfData == 0)
                break;
            std::string function;
            if (!IMAGE_SNAP_BY_ORDINAL(thunk.u1.Ordinal) &&
                offsetOf(static_cast<DWORD>(thunk.u1.AddressOfData) + 2, at) && reader.readName(at, function))
                functions.insert(std::move(function)); // past the two-byte hint
        }
    }
}

// The machine this code is built for: only a library built for it can be loaded into this process.
#if defined(_M_X64) || defined(__x86_64__)
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(_M_IX86) || defined(__i386__)
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#else
#error "the machine this is built for has no image file machine here"
#endif

} // namespace

ModuleFile readModuleFile(const std::wstring& path)
{
    ModuleFile result;
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return result;
    result.found = true;
    const FileReader reader(file.get());

    // The file header first: the optional header that follows has the layout of the file's machine,
    // read here only when that is this process's (IMAGE_NT_HEADERS is the build's own kind).
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!reader.read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        !reader.read(static_cast<DWORD>(dos.e_lfanew), signature) || signature != IMAGE_NT_SIGNATURE ||
        !reader.read(static_cast<DWORD>(dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, FileHeader)), header) || header.Machine != kOwnMachine ||
        !(header.Characteristics & IMAGE_FILE_DLL))
        return result;
    // Only the export and import directories are used: the header must hold at least those.
    constexpr DWORD directoriesUsed = IMAGE_DIRECTORY_ENTRY_IMPORT + 1;
    IMAGE_NT_HEADERS nt{};
    if (header.SizeOfOptionalHeader < offsetof(IMAGE_OPTIONAL_HEADER, DataDirectory) + directoriesUsed * sizeof(IMAGE_DATA_DIRECTORY) ||
        !reader.read(static_cast<DWORD>(dos.e_lfanew), nt) ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC ||
        nt.OptionalHeader.NumberOfRvaAndSizes < directoriesUsed)
        return result;
    result.ownMachine = true;

    // Addresses in the headers are relative to the loaded image: map them to file offsets.
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    const DWORD sectionTable = static_cast<DWORD>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                               nt.FileHeader.SizeOfOptionalHeader;
    if (!sections.empty() &&
        !reader.read(sectionTable, sections.data(), static_cast<DWORD>(sections.size() * sizeof sections[0])))
        return result;
    const auto offsetOf = [&](DWORD rva, DWORD& offset) {
        for (const IMAGE_SECTION_HEADER& section : sections) {
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                offset = rva - section.VirtualAddress + section.PointerToRawData;
                return true;
            }
        }
        return false;
    };

    readImports(reader, nt, offsetOf, result);

    const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY exports{};
    DWORD offset = 0;
    if (directory.Size == 0 || !offsetOf(directory.VirtualAddress, offset) || !reader.read(offset, exports))
        return result;
    DWORD names = 0;
    if (exports.NumberOfNames == 0 || exports.NumberOfNames > 65536 || !offsetOf(exports.AddressOfNames, names))
        return result;
    std::vector<DWORD> nameRvas(exports.NumberOfNames);
    if (!reader.read(names, nameRvas.data(), static_cast<DWORD>(nameRvas.size() * sizeof(DWORD))))
        return result;
    for (const DWORD rva : nameRvas) {
        std::string name;
        if (offsetOf(rva, offset) && reader.readName(offset, name))
            result.exports.insert(std::move(name));
    }
    return result;
}

} // namespace vorntrace
