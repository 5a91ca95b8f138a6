#pragma once
// What a library file exports, read from the file itself without loading it: safe under the
// loader lock, so the tracing library can check its target while it is being loaded.

#include <map>
#include <set>
#include <string>

namespace vorntrace {

struct ModuleFile {
    bool found = false;      // the file could be opened
    bool ownMachine = false; // a DLL for the machine this process runs as (x86 or x64, as built)
    std::set<std::string> exports; // the exported names
    // The libraries it needs at load time, as named in the file, each with the functions it takes by name.
    std::map<std::string, std::set<std::string>> imports;
};

ModuleFile readModuleFile(const std::wstring& path);

} // namespace vorntrace
