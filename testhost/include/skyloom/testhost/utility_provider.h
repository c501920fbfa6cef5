// The server's utility provider, lent to the plugin's setUtilityProvider(); the plugin only
// holds a reference to it, which the host tally makes visible.
#pragma once

#include <nx/sdk/i_utility_provider.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

class UtilityProvider: public HostRefCountable<nx::sdk::IUtilityProvider>
{
};

} // namespace skyloom::testhost
