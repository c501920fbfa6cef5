// Everything of the test host in one include.
#pragma once

#include <skyloom/testhost/action.h>
#include <skyloom/testhost/ai_engine_publisher.h>
#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/engine_handler.h>
#include <skyloom/testhost/engine_info.h>
#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/log_file.h>
#include <skyloom/testhost/loopback_subscriber.h>
#include <skyloom/testhost/metadata_types.h>
#include <skyloom/testhost/plugin_library.h>
#include <skyloom/testhost/process_readings.h>
#include <skyloom/testhost/records.h>
#include <skyloom/testhost/registry.h>
#include <skyloom/testhost/string_map.h>
#include <skyloom/testhost/test_ports.h>
#include <skyloom/testhost/utility_provider.h>
#include <skyloom/testhost/video_packets.h>
