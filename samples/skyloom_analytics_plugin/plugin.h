// The plugin object that the server receives from createNxPlugin(): it offers the plugin
// manifest and makes one engine per doObtainEngine() call. It has no thread and no state of its
// own but the periods its engines wait out (fixed when the library is built, see
// common/intervals.h); the server's threads call it. The engine returned carries one reference
// for the server.
#pragma once

#include <string>

#include <nx/sdk/analytics/helpers/plugin.h>
#include <nx/sdk/i_plugin.h>

#include "common/intervals.h"

namespace nx::vms_server_plugins::analytics::sample {

class Plugin: public nx::sdk::analytics::Plugin
{
public:
    using nx::sdk::analytics::Plugin::doObtainEngine;

    explicit Plugin(const Intervals& intervals = kShippedIntervals): m_intervals(intervals) {}

protected:
    virtual nx::sdk::Result<nx::sdk::analytics::IEngine*> doObtainEngine() override;
    virtual std::string manifestString() const override;

private:
    const Intervals m_intervals;
};

} // namespace nx::vms_server_plugins::analytics::sample

extern "C" {

/**
 * Exported: a new Plugin, with one reference for the server; null if it cannot be created.
 * Defined in plugin_entry.cpp, which each build of the library compiles on its own.
 */
__attribute__((visibility("default"))) nx::sdk::IPlugin* createNxPlugin();

} // extern "C"
