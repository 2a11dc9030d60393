#pragma once

#include <string_view>

namespace host::gtk {

// Ports the engine refuses to connect to, to keep web pages from talking to other protocols.
// It loads a blank page for them without reporting anything, so the binding reports them itself.
bool IsBlockedPort(int port);

// Why an address is refused before it reaches the engine, which would otherwise show a blank
// page and report nothing: empty, not an absolute URL, or an http(s) URL on a blocked port.
enum class AddressVerdict { Loadable, Empty, Malformed, BlockedPort };
AddressVerdict CheckAddress(std::string_view address);

}  // namespace host::gtk
