#include "host/gtk/navigation_policy.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>

namespace host::gtk {

bool IsBlockedPort(int port) {
    // The "bad ports" of the web's fetch rules, which the engine applies to http and https.
    static constexpr int kBlocked[] = {
        1,    7,    9,    11,   13,   15,   17,   19,   20,   21,   22,   23,   25,   37,   42,   43,   53,
        69,   77,   79,   87,   95,   101,  102,  103,  104,  109,  110,  111,  113,  115,  117,  119,  123,
        135,  137,  139,  143,  161,  179,  389,  427,  465,  512,  513,  514,  515,  526,  530,  531,  532,
        540,  548,  554,  556,  563,  587,  601,  636,  989,  990,  993,  995,  1719, 1720, 1723, 2049, 3659,
        4045, 4190, 5060, 5061, 6000, 6566, 6665, 6666, 6667, 6668, 6669, 6679, 6697, 10080};
    return std::find(std::begin(kBlocked), std::end(kBlocked), port) != std::end(kBlocked);
}

namespace {

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace

AddressVerdict CheckAddress(std::string_view address) {
    // The engine's URL parser drops spaces and control characters at both ends.
    while (!address.empty() && static_cast<unsigned char>(address.front()) <= 0x20) address.remove_prefix(1);
    while (!address.empty() && static_cast<unsigned char>(address.back()) <= 0x20) address.remove_suffix(1);
    if (address.empty()) return AddressVerdict::Empty;
    // scheme ":" with a letter first, then letters, digits, "+", "-" or ".".
    const auto colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(address[0])))
        return AddressVerdict::Malformed;
    for (char c : address.substr(0, colon))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return AddressVerdict::Malformed;

    const std::string scheme = lower(address.substr(0, colon));
    if (scheme != "http" && scheme != "https") return AddressVerdict::Loadable;

    // http(s): "//" authority, with a host.
    std::string_view rest = address.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return AddressVerdict::Malformed;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view hostPart = authority;
    std::string_view portPart;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return AddressVerdict::Malformed;
        hostPart = authority.substr(0, close + 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return AddressVerdict::Malformed;
            portPart = after.substr(1);
        }
    } else if (const auto portColon = authority.rfind(':'); portColon != std::string_view::npos) {
        hostPart = authority.substr(0, portColon);
        portPart = authority.substr(portColon + 1);
    }
    if (hostPart.empty()) return AddressVerdict::Malformed;
    if (!portPart.empty()) {
        if (portPart.size() > 5) return AddressVerdict::Malformed;
        int port = 0;
        for (char c : portPart) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return AddressVerdict::Malformed;
            port = port * 10 + (c - '0');
        }
        if (port > 65535) return AddressVerdict::Malformed;
        if (IsBlockedPort(port)) return AddressVerdict::BlockedPort;
    }
    return AddressVerdict::Loadable;
}

}  // namespace host::gtk
