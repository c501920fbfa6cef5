// The server's list of needed metadata types, lent to doSetNeededMetadataTypes(); the plugin
// never reads it, so it lists nothing.
#pragma once

#include <nx/sdk/analytics/i_metadata_types.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

class MetadataTypes: public HostRefCountable<nx::sdk::analytics::IMetadataTypes>
{
};

} // namespace skyloom::testhost
