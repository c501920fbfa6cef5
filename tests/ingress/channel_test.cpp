// The channel between the engine and its receiver process: frames survive any split of the byte
// stream, every malformed frame is refused with its reason before anything is allocated for it,
// the writer never blocks and keeps its bound, and the listener's configuration crosses intact.
// Also when a dying receiver may be started again.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ingress/channel.h"
#include "ingress/listener_config.h"
#include "ingress/receiver_process.h"
#include "ingress/restart_policy.h"
#include "ingress/subscriptions.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

std::string frameOf(uint32_t length, char type, const std::string& payload)
{
    std::string frame;
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    frame.push_back(type);
    return frame + payload;
}

TEST(Channel, FramesSurviveEverySplitOfTheStream)
{
    const std::string big(300 * 1024, 'x'); //< More than one read.
    const std::string stream = encodeMessage("engine-a", "10.0.0.5", "{\"src_uuid\":\"c\"}")
        + encodeMessage("", "", big) + encodeEvent(1, "Listening for the AI engine", "tcp://")
        + encodeRefused("10.0.0.9", "unknown key") + encodeStats(7, 3)
        + encodeText(FrameType::connected, "10.0.0.5") + encodeText(FrameType::log, "a line");

    for (const size_t step: {size_t(1), size_t(5), size_t(4096), stream.size()})
    {
        ChannelReader reader(/*fromReceiver*/ true);
        std::vector<Frame> frames;
        std::vector<std::string> bodies;
        for (size_t offset = 0; offset < stream.size(); offset += step)
        {
            reader.append(std::string_view(stream).substr(offset, step));
            Frame frame;
            while (reader.parseBuffered(&frame) == ChannelReader::Status::frame)
            {
                frames.push_back(frame);
                bodies.emplace_back(frame.body);
            }
        }
        ASSERT_EQ(7u, frames.size()) << "step " << step;
        EXPECT_EQ(FrameType::message, frames[0].type);
        EXPECT_EQ("{\"src_uuid\":\"c\"}", bodies[0]);
        EXPECT_EQ(big, bodies[1]);
        EXPECT_EQ(1, frames[2].level);
        EXPECT_EQ("tcp://", bodies[2]);
        EXPECT_EQ("unknown key", bodies[3]);
        EXPECT_EQ(7u, frames[4].dropped);
        EXPECT_EQ(3u, frames[4].queued);
        EXPECT_EQ(FrameType::connected, frames[5].type);
        EXPECT_EQ("a line", bodies[6]);
        EXPECT_FALSE(reader.partial());
    }
}

TEST(Channel, MalformedFramesAreRefusedWithTheirReason)
{
    struct Case
    {
        const char* name;
        std::string bytes;
        bool fromReceiver;
        ChannelError error;
    };
    const std::string field2K(2048, 'a');
    const std::vector<Case> cases = {
        {"length beyond the limit, judged from the header alone",
            frameOf(ChannelLimits::kMaxPayload + 1, 'M', ""), true, ChannelError::tooLong},
        {"unknown type", frameOf(0, 'Z', ""), true, ChannelError::unknownType},
        {"configuration from the receiver", encodeText(FrameType::config, "{}"), true,
            ChannelError::unknownType},
        {"a message to the receiver", encodeMessage("", "", "x"), false,
            ChannelError::unknownType},
        {"user id length overruns", frameOf(3, 'M', std::string("\x09\x00", 2) + "a"), true,
            ChannelError::badFields},
        {"message without its peer field", frameOf(2, 'M', std::string("\x00\x00", 2)), true,
            ChannelError::badFields},
        {"event level beyond error", frameOf(3, 'E', std::string("\x03\x00\x00", 3)), true,
            ChannelError::badFields},
        {"stats of a wrong size", frameOf(15, 'S', std::string(15, '\0')), true,
            ChannelError::badFields},
        {"log line beyond the field limit", frameOf(2048, 'L', field2K), true,
            ChannelError::badFields},
        {"subscription from the receiver", encodeSubscription(true, "p"), true,
            ChannelError::unknownType},
        {"subscription prefix beyond the limit",
            encodeSubscription(true, std::string(SubscriptionLimits::kMaxPrefixLength + 1, 'p')),
            false, ChannelError::badFields},
        {"subscription neither on nor off", frameOf(2, 'U', "\x02p"), false,
            ChannelError::badFields},
        {"subscription without its byte", frameOf(0, 'U', ""), false, ChannelError::badFields},
        {"ping from the receiver", encodeEmpty(FrameType::ping), true, ChannelError::unknownType},
        {"pong to the receiver", encodeEmpty(FrameType::pong), false, ChannelError::unknownType},
        {"ping with a payload", frameOf(1, 'P', "x"), false, ChannelError::badFields},
        {"pong with a payload", frameOf(1, 'O', "x"), true, ChannelError::badFields},
    };
    for (const Case& c: cases)
    {
        ChannelReader reader(c.fromReceiver);
        reader.append(c.bytes);
        Frame frame;
        EXPECT_EQ(ChannelReader::Status::error, reader.parseBuffered(&frame)) << c.name;
        EXPECT_EQ(c.error, reader.error()) << c.name;
        // Once malformed, the channel stays so: nothing after it is trusted.
        reader.append(encodeStats(0, 0));
        EXPECT_EQ(ChannelReader::Status::error, reader.parseBuffered(&frame)) << c.name;
    }
}

TEST(Subscriptions, ReceiverHoldsSubscriptionRequestsToItsBounds)
{
    // What crosses the channel: the longest prefix allowed, whole, and the empty one.
    ChannelReader reader(/*fromReceiver*/ false);
    const std::string longest(SubscriptionLimits::kMaxPrefixLength, 'p');
    reader.append(encodeSubscription(true, longest) + encodeSubscription(false, ""));
    Frame frame;
    ASSERT_EQ(ChannelReader::Status::frame, reader.parseBuffered(&frame));
    EXPECT_TRUE(frame.subscribe);
    EXPECT_EQ(longest, frame.body);
    ASSERT_EQ(ChannelReader::Status::frame, reader.parseBuffered(&frame));
    EXPECT_FALSE(frame.subscribe);
    EXPECT_EQ("", frame.body);

    // The table: every message plus kMaxPrefixes prefixes, then no more until one goes.
    using Refusal = SubscriptionTable::Refusal;
    SubscriptionTable table;
    for (size_t i = 0; i < SubscriptionLimits::kMaxPrefixes; ++i)
        ASSERT_EQ(Refusal::none, table.take({true, "p" + std::to_string(i)})) << i;
    EXPECT_EQ(Refusal::tooMany, table.take({true, "one more"}));
    EXPECT_EQ(Refusal::none, table.take({true, "p0"})); //< Held already: no more memory.
    EXPECT_EQ(Refusal::none, table.take({true, ""})); //< Every message is no prefix to hold.
    EXPECT_EQ(Refusal::tooLong, table.take({true, longest + "p"}));
    EXPECT_EQ(SubscriptionLimits::kMaxPrefixes + 1, table.current().size());
    EXPECT_EQ(Refusal::none, table.take({false, "p0"}));
    EXPECT_EQ(Refusal::none, table.take({true, "one more"}));
    EXPECT_EQ(1u, table.current().count("one more"));
    EXPECT_EQ(0u, table.current().count("p0"));
}

TEST(Subscriptions, ChangesNeverLeaveAWantedMessageOutNorHoldMorePrefixesThanEitherSide)
{
    struct Case
    {
        const char* name;
        Subscriptions from;
        Subscriptions to;
        std::vector<SubscriptionChange> changes;
    };
    const std::vector<Case> cases = {
        {"all to own cameras: the prefixes before every message goes", everything(), {"a", "b"},
            {{true, "a"}, {true, "b"}, {false, ""}}},
        {"own cameras to all: every message before the prefixes go", {"a", "b"}, everything(),
            {{true, ""}, {false, "a"}, {false, "b"}}},
        {"a camera moved away and another came: the old one goes first", {"a", "b"}, {"b", "c"},
            {{false, "a"}, {true, "c"}}},
        {"the same: nothing", {"a"}, {"a"}, {}},
    };
    for (const Case& c: cases)
        EXPECT_EQ(c.changes, subscriptionChanges(c.from, c.to)) << c.name;
}

TEST(Channel, WriterNeverBlocksKeepsItsBoundAndDeliversInOrder)
{
    int ends[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
    const int small = 64 * 1024;
    setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));

    ChannelWriter writer(1024 * 1024);
    const std::string body(100 * 1024, 'm');
    int pushed = 0;
    while (writer.push(encodeMessage("", "", body + std::to_string(pushed))))
        ++pushed;
    EXPECT_GE(pushed, 9); //< About 1 MiB of 100 KiB frames.
    EXPECT_LE(writer.queuedBytes(), 1024u * 1024u);
    ASSERT_TRUE(writer.flush(ends[0])); //< Would block long before all is written.
    EXPECT_FALSE(writer.empty());

    ChannelReader reader(/*fromReceiver*/ true);
    int received = 0;
    while (received < pushed)
    {
        ASSERT_TRUE(writer.flush(ends[0]));
        Frame frame;
        const auto status = reader.next(ends[1], &frame);
        ASSERT_NE(ChannelReader::Status::error, status);
        ASSERT_NE(ChannelReader::Status::closed, status);
        if (status == ChannelReader::Status::frame)
        {
            EXPECT_EQ(body + std::to_string(received++), std::string(frame.body));
        }
    }
    EXPECT_TRUE(writer.empty());
    close(ends[1]);
    writer.pushAlways(encodeStats(0, 0));
    EXPECT_FALSE(writer.flush(ends[0])) << "a peer gone is an error, not SIGPIPE";
    close(ends[0]);
}

TEST(ListenerConfig, CrossesTheChannelWithEveryFieldTheListenerReads)
{
    IngressPolicy policy;
    policy.serviceAddress = "fd00::1";
    std::string bad;
    policy.allowedAddresses = *parseAddressRanges("10.0.0.0/8, fd00::/16", &bad);
    policy.curve = true;
    policy.serverKey.publicKey = std::string(32, '\x01');
    policy.serverKey.secretKey = std::string("\x00\xff", 2) + std::string(30, '\x7f');
    policy.engines["k1"] = PublicCertificate{"engine-a", "k1", std::nullopt};

    std::string error;
    const auto config = decodeListenerConfig(encodeListenerConfig(9933, 9911, policy), &error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(9933, config->port);
    EXPECT_EQ(9911, config->workingPort);
    EXPECT_TRUE(config->policy->sameListeners(policy));
    EXPECT_TRUE(addressInRanges(config->policy->allowedAddresses, "10.1.2.3"));
    EXPECT_TRUE(addressInRanges(config->policy->allowedAddresses, "fd00::7"));
    EXPECT_FALSE(addressInRanges(config->policy->allowedAddresses, "192.168.0.1"));
    ASSERT_EQ(1u, config->policy->engines.count("k1"));
    EXPECT_EQ("engine-a", config->policy->engines.at("k1").name);

    EXPECT_FALSE(decodeListenerConfig("{\"port\":1}", &error));
    EXPECT_FALSE(error.empty());
}

TEST(RestartPolicy, ThirdDeathWithinAMinuteBacksOffToOneStartASecondAndIsToldOnce)
{
    RestartPolicy policy;
    const auto t0 = RestartPolicy::Clock::time_point() + 1h;
    policy.started(t0);
    for (int death = 1; death <= 2; ++death)
    {
        const auto at = t0 + death * 100ms;
        const auto decision = policy.died(at);
        EXPECT_EQ(at, decision.startAt) << "death " << death << " restarts at once";
        EXPECT_FALSE(decision.keepsDying);
        policy.started(at);
    }
    const auto third = policy.died(t0 + 300ms);
    EXPECT_EQ(t0 + 200ms + 1s, third.startAt);
    EXPECT_TRUE(third.keepsDying);
    policy.started(third.startAt);
    const auto fourth = policy.died(third.startAt + 10ms);
    EXPECT_EQ(third.startAt + 1s, fourth.startAt);
    EXPECT_FALSE(fourth.keepsDying) << "told once a minute";

    // Still dying a minute after it was told: told again, once.
    EXPECT_FALSE(policy.died(t0 + 1min + 300ms).keepsDying) << "two deaths within the minute";
    const auto again = policy.died(t0 + 1min + 400ms);
    EXPECT_EQ(3, again.deathsInWindow);
    EXPECT_TRUE(again.keepsDying);
    EXPECT_FALSE(policy.died(t0 + 1min + 500ms).keepsDying);

    // A minute later the old deaths are forgotten.
    const auto later = policy.died(t0 + 5min);
    EXPECT_EQ(t0 + 5min, later.startAt);
    EXPECT_EQ(1, later.deathsInWindow);
}

TEST(ReceiverProcess, ExitsReadAsTheOperatorExpects)
{
    int status = 0;
    const pid_t child = fork();
    if (child == 0)
        abort();
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ("killed by signal 6 (Aborted)", ReceiverProcess::describeExit(status));
    EXPECT_EQ("exited with status 3", ReceiverProcess::describeExit(3 << 8));

    ReceiverProcess::StartFailure failure;
    EXPECT_EQ(nullptr,
        ReceiverProcess::start("/nonexistent/skyloom-receiver", std::nullopt, &failure));
    EXPECT_EQ("/nonexistent/skyloom-receiver: No such file or directory", failure.reason);
    EXPECT_FALSE(failure.lackOfResources);
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
