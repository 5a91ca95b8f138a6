// The two documents that say what the module is: the welcome page (HTML, from its template) and the
// identification document that inventory and discovery tools read (XML in the LXI identification
// schema's namespace, elements in the schema's order).
#pragma once

#include "ModuleIdentity.h"

#include <cstdint>
#include <string>
#include <vector>

struct PageFacts {
    ModuleIdentity identity;
    std::string hostName;                // empty when the system gave none
    std::string listenAddress;
    std::vector<std::string> addresses;  // this machine's, as the network sees them
    std::vector<std::string> resources;  // VISA resource strings
    std::vector<std::string> ports;      // "raw SCPI 5025/tcp", ...
};

// `token`: the page's console token, empty for a read-only page.
std::string WelcomePage(const PageFacts& facts, const std::string& token);
// `host`: the Host the request named (or the address it arrived at); `local`: that address as text.
std::string IdentificationDocument(const PageFacts& facts, const std::string& host, const std::string& local);
