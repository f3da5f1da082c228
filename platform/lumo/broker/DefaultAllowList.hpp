// The peers a broker allows when it is given no --allow.
#pragma once

#include <string>

#include "PeerAccess.hpp"

namespace lumo::broker {

// Loopback, and the networks of the interfaces that the control endpoint
// `uri` binds: every interface for a wildcard host, else the interface
// named or addressed by the host. Over IPC, loopback alone.
detail::AddressAllowList DefaultAllowList(const std::string& uri);

}  // namespace lumo::broker
