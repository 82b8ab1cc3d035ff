// The daemon's DNS start-up: checking the nameserver list and starting the
// nameserver health monitor.
//
// checkNameservers fails with InvalidNameserver, after an error record naming
// the entry, when a DnsNameserver entry is neither an IPv4 nor an IPv6
// literal: such a list would make every lookup of that entry fail silently.
//
// startNameserverMonitor never fails the start-up: a monitor that cannot be
// set up is logged and left out (resolvers then ask every server), and one
// whose thread cannot start is logged and kept with every server healthy.
// Main thread only; the returned monitor must outlive every resolver, so it
// is stopped only after the workers are joined.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dns/monitor.h"
#include "platform/error.h"

namespace quellsig {

Result<void> checkNameservers(const std::vector<std::string>& nameservers);
std::unique_ptr<NameserverMonitor> startNameserverMonitor(
    const std::vector<std::string>& nameservers);

}  // namespace quellsig
