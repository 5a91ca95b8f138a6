// This machine's names and addresses, as a request's Host must name one of them: a name this machine
// doesn't have may be another site's, made to point here (DNS rebinding), and is refused.
#pragma once

#include "HttpMessage.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class ServerNames {
public:
    // Learns the host's name, its canonical names and addresses; `listenAddress` counts as one of them.
    explicit ServerNames(const std::string& listenAddress);

    // True when the request names this machine (or names nothing, as HTTP/1.0 may). `local` is the address
    // the request arrived at.
    bool HostIsOurs(const http::Request& request, std::uint32_t local) const;

    const std::string& HostName() const noexcept { return hostName_; }
    // The addresses other hosts reach this one at (of the interfaces served), or the listen address when
    // it serves this machine alone.
    std::vector<std::string> AddressTexts() const;

private:
    std::string hostName_;             // as the system spells it
    std::set<std::string> names_;      // lower case
    std::set<std::uint32_t> addresses_; // every address of this machine's
    std::vector<std::uint32_t> served_;
};
