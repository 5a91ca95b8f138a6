#include "Pages.h"

#include "WebAssets.h"
#include "WebText.h"

#include <map>
#include <string_view>

#ifndef VORNLAN_VERSION
#define VORNLAN_VERSION "development build"
#endif

namespace {

// A page's template with its slots filled: {{name}} takes the text escaped, {{name*}} one list item per
// text. Nothing else reaches the page, so whatever the module or a client said is shown as text.
std::string FillTemplate(std::string_view page, const std::map<std::string, std::vector<std::string>>& slots)
{
    std::string filled;
    for (;;) {
        const std::size_t open = page.find("{{");
        const std::size_t close = open == std::string_view::npos ? open : page.find("}}", open);
        if (close == std::string_view::npos) {
            filled += page;
            return filled;
        }
        filled += page.substr(0, open);
        std::string name(page.substr(open + 2, close - open - 2));
        const bool list = !name.empty() && name.back() == '*';
        if (list)
            name.pop_back();
        const auto slot = slots.find(name);
        if (slot != slots.end()) {
            for (std::size_t i = 0; i < slot->second.size(); ++i) {
                const std::string text = web::EscapeMarkup(slot->second[i]);
                filled += list ? "<li>" + text + "</li>" : (i ? ", " : "") + text;
            }
        }
        page.remove_prefix(close + 2);
    }
}

} // namespace

std::string WelcomePage(const PageFacts& facts, const std::string& token)
{
    const ModuleIdentity& id = facts.identity;
    const std::string unknown = "unknown (the module did not answer *IDN?)";
    const std::map<std::string, std::vector<std::string>> slots{
        {"manufacturer", {id.known ? id.manufacturer : unknown}},
        {"model", {id.known ? id.model : unknown}},
        {"serial", {id.known ? id.serial : unknown}},
        {"firmware", {id.known ? id.firmware : unknown}},
        {"title", {id.known ? id.model : std::string("Vorn module")}},
        {"version", {VORNLAN_VERSION}},
        {"host", {facts.hostName.empty() ? facts.listenAddress : facts.hostName}},
        {"listen", {facts.listenAddress}},
        {"addresses", facts.addresses},
        {"token", {token}},
        {"console", {token.empty() ? "read-only" : "live"}},
        {"resources", facts.resources},
        {"ports", facts.ports},
    };
    return FillTemplate(web::Asset("page.html"), slots);
}

std::string IdentificationDocument(const PageFacts& facts, const std::string& host, const std::string& local)
{
    const ModuleIdentity& id = facts.identity;
    const auto element = [](const char* name, const std::string& text) {
        return std::string("  <") + name + '>' + web::EscapeMarkup(text) + "</" + name + ">\n";
    };
    const std::string page = "http://" + host + "/";
    const std::string hostName = facts.hostName.empty() ? local : facts.hostName;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\" "
                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    xml += element("Manufacturer", id.manufacturer);
    xml += element("Model", id.model);
    xml += element("SerialNumber", id.serial);
    xml += element("FirmwareRevision", id.firmware);
    xml += element("ManufacturerDescription", "Electronic calibration module served to the network by vornlan");
    xml += element("HomepageURL", page);
    xml += element("UserDescription", (id.known ? id.model : std::string("Vorn module")) + " on " + hostName);
    xml += element("IdentificationURL", page + "lxi/identification");
    xml += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LAN\" IPType=\"IPv4\" "
           "InterfaceName=\"vornlan\">\n";
    for (const std::string& resource : facts.resources)
        xml += "  " + element("InstrumentAddressString", resource);
    xml += "  " + element("Hostname", hostName);
    xml += "  " + element("IPAddress", local);
    xml += "  </Interface>\n</LXIDevice>\n";
    return xml;
}
