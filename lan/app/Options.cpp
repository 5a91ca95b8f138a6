#include "Options.h"

#include "Text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string_view>

const char kUsage[] =
    "usage: vornlan [--listen ADDRESS] [--allow NETWORK]... [--raw-port N] [--vxi11-port N]\n"
    "               [--no-portmapper] [--hislip-port N] [--http-port N] [--local NETWORK]...\n"
    "               [--no-mdns | --mdns on|off] [--max-clients N] [--log FILE] [--service]\n"
    "\n"
    "Serves the calibration module to VISA clients on the network: SCPI over a raw socket\n"
    "(TCPIP::host::5025::SOCKET), VXI-11 (TCPIP::host::INSTR) and HiSLIP (TCPIP::host::hislip0::INSTR),\n"
    "a web page showing what it is, who is connected and what the module is told, and, when it\n"
    "listens beyond this machine, its services advertised over multicast DNS for discovery.\n"
    "\n"
    "With --service, which only the service's registered command line carries, it runs as the\n"
    "service vornlan, logging to %ProgramData%\\Vornlink\\vornlan.log unless --log names a file.\n"
    "\n"
    "  --listen ADDRESS   the IPv4 address to listen on (default 127.0.0.1: this machine only;\n"
    "                     0.0.0.0 for every interface)\n"
    "  --allow NETWORK    admit clients from this network only, e.g. 192.168.7.0/24 (repeatable,\n"
    "                     or several separated by commas; empty: everyone, as without it)\n"
    "  --raw-port N       the raw SCPI socket's port (default 5025)\n"
    "  --vxi11-port N     the VXI-11 core channel's port (default 1024)\n"
    "  --no-portmapper    don't answer on port 111 (clients must then be told the VXI-11 port)\n"
    "  --hislip-port N    the HiSLIP port (default 4880; 0: no HiSLIP)\n"
    "  --http-port N      the web page's port (default 80; 0: no web page)\n"
    "  --local NETWORK    where the page's command console works from (default the loopback\n"
    "                     networks, i.e. this machine; repeatable); elsewhere the page is read-only\n"
    "  --no-mdns          advertise nothing over multicast DNS (the same as --mdns off; on by\n"
    "                     default, on the interfaces served beyond loopback)\n"
    "  --max-clients N    connections at once over every transport (default 16)\n"
    "  --log FILE         also append every line to FILE (past 1 MB it becomes FILE.1 and FILE\n"
    "                     starts anew)\n"    "  --service          run as the service vornlan (for the service control manager: sc create,\n"
    "                     the package); at a console it is refused\n"
    "\n"
    "vornlan --wait-for-exit PATH waits (at most 30 s) until no process runs the program PATH; the\n"
    "installer uses it between stopping the service and replacing its file.\n";

std::vector<std::wstring> CommandLineArguments()
{
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; words && i < count; ++i)
        arguments.emplace_back(words[i]);
    LocalFree(words);
    return arguments;
}

namespace {

using text::Narrow;

std::optional<long> Number(const std::wstring& text, long low, long high)
{
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    long value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<LanOptions> ParseOptions(std::span<const std::wstring> arguments, std::string& error)
{
    LanOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& option = arguments[i];
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
            continue;
        }
        if (option == L"--service") {
            options.service = true;
            continue;
        }
        if (option == L"--no-portmapper") {
            options.network.portmapper = false;
            continue;
        }
        if (option == L"--no-mdns") {
            options.network.mdns = false;
            continue;
        }
        const bool takesValue = option == L"--listen" || option == L"--allow" || option == L"--raw-port" ||
                                option == L"--vxi11-port" || option == L"--max-clients" || option == L"--log" ||
                                option == L"--http-port" || option == L"--local" || option == L"--hislip-port" ||
                                option == L"--mdns";
        if (!takesValue) {
            error = "unknown option " + Narrow(option);
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            error = Narrow(option) + " needs a value";
            return std::nullopt;
        }
        const std::wstring& value = arguments[++i];
        const std::string text = Narrow(value);
        if (option == L"--listen") {
            in_addr address{};
            if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
                error = "--listen takes an IPv4 address such as 127.0.0.1 or 0.0.0.0, not " + text;
                return std::nullopt;
            }
            options.network.listenAddress = text;
        } else if (option == L"--allow" || option == L"--local") {
            // Several networks may be given at once, separated by commas; an empty value leaves the
            // default (a package passes its property whether set or not).
            std::string_view rest = text;
            while (!rest.empty()) {
                const std::string_view item = rest.substr(0, rest.find(','));
                rest.remove_prefix(std::min(rest.size(), item.size() + 1));
                const auto network = ParseClientNetwork(item);
                if (!network) {
                    error = Narrow(option) + " takes networks such as 192.168.7.0/24 or single addresses, not " +
                            std::string(item.empty() ? text : item);
                    return std::nullopt;
                }
                (option == L"--allow" ? options.network.allow : options.network.local).push_back(*network);
            }
        } else if (option == L"--log") {
            options.logFile = value;
        } else if (option == L"--mdns") {
            // The service's command line passes the switch as a value (the package's property).
            if (text != "on" && text != "off") {
                error = "--mdns takes on or off, not " + text;
                return std::nullopt;
            }
            options.network.mdns = text == "on";
        } else {
            const bool clients = option == L"--max-clients";
            const bool web = option == L"--http-port" || option == L"--hislip-port";
            const auto number = clients ? Number(value, 1, 1024) : Number(value, web ? 0 : 1, 65535);
            if (!number) {
                error = Narrow(option) +
                        (clients ? " takes a number from 1 to 1024"
                                 : web ? " takes a port from 0 (none) to 65535" : " takes a port from 1 to 65535") +
                        ", not " + text;
                return std::nullopt;
            }
            if (clients)
                options.network.maxClients = static_cast<int>(*number);
            else if (option == L"--http-port")
                options.network.httpPort = static_cast<std::uint16_t>(*number);
            else if (option == L"--hislip-port")
                options.network.hislipPort = static_cast<std::uint16_t>(*number);
            else if (option == L"--raw-port")
                options.network.rawPort = static_cast<std::uint16_t>(*number);
            else
                options.network.vxi11Port = static_cast<std::uint16_t>(*number);
        }
    }
    return options;
}
