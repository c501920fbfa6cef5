// Which camera a message belongs to, found from its first bytes as the relay finds it, and the
// queue drops counted into that camera's counters.
#include <gtest/gtest.h>

#include "common/envelope_prefix.h"
#include "relay/camera_queues.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

TEST(CameraQueues, MessageBelongsToTheCameraWhosePrefixBeginsIt)
{
    CameraQueues queues;
    queues.subscribe(envelopePrefix("cam-1"), nullptr, nullptr);
    queues.subscribe(envelopePrefix("cam-10"), nullptr, nullptr);
    const std::string quoted = "odd\"id";
    queues.subscribe(envelopePrefix(quoted), nullptr, nullptr);

    const struct { std::string message; const char* camera; } rows[] = {
        {envelopePrefix("cam-1") + ",\"meta\":{}}", "cam-1"},
        {envelopePrefix("cam-10") + ",\"meta\":{}}", "cam-10"},
        {envelopePrefix(quoted) + ",\"meta\":{}}", "odd\"id"},
        {envelopePrefix("cam-2") + ",\"meta\":{}}", nullptr},
        {"{\"src_uuid\": \"cam-1\",\"meta\":{}}", nullptr},
        {"{\"src_uuid\":\"cam-1", nullptr},
        {"", nullptr},
    };
    for (const auto& row: rows)
    {
        const CameraQueues::Camera* camera = queues.find(row.message);
        if (!row.camera)
        {
            EXPECT_EQ(nullptr, camera) << row.message;
            continue;
        }
        ASSERT_NE(nullptr, camera) << row.message;
        EXPECT_EQ(row.camera, camera->id) << row.message;
    }

    // Without the unusual id, the usual lookup alone still finds every camera.
    (void) queues.unsubscribe(envelopePrefix(quoted));
    EXPECT_EQ(nullptr, queues.find(envelopePrefix(quoted) + "}"));
    ASSERT_NE(nullptr, queues.find(envelopePrefix("cam-1") + "}"));
}

TEST(CameraQueues, QueueDropsAreCountedForTheCameraAndReportedAtARate)
{
    CameraQueues queues;
    const auto counters = std::make_shared<CameraCounters>();
    queues.subscribe(envelopePrefix("cam-1"), nullptr, counters);
    CameraQueues::Camera& camera = *queues.find(envelopePrefix("cam-1"));
    const auto start = CameraQueues::Clock::now();

    const auto first = queues.dropped(camera, start);
    ASSERT_TRUE(first);
    EXPECT_EQ(1, first->dropped);
    EXPECT_FALSE(queues.dropped(camera, start + CameraQueues::kReportInterval / 2));
    const auto later = queues.delivered(camera, start + CameraQueues::kReportInterval);
    ASSERT_TRUE(later);
    EXPECT_EQ(1, later->dropped);
    EXPECT_EQ(2, later->total);
    EXPECT_EQ(2U, counters->drops(DropReason::queueFull));
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
