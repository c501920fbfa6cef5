// The SDK's plugin, engine and device agent bases, in-process: tiny subclasses driven through the
// interfaces the way the server drives them, with the log file ("log_skyloom_0.log" in the
// working directory) read back. The library context carries the host's registry, so that every
// object the bases create or drop is counted.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/analytics/helpers/consuming_device_agent.h>
#include <nx/sdk/analytics/helpers/engine.h>
#include <nx/sdk/analytics/helpers/plugin.h>
#include <nx/sdk/helpers/lib_context.h>
#include <nx/sdk/helpers/log_utils.h>
#include <nx/sdk/ref_countable.h>

#include <skyloom/testhost/testhost.h>

namespace {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace std::chrono_literals;
namespace host = skyloom::testhost;

constexpr char kLibName[] = "plugin_base_tests";
constexpr char kDeviceId[] = "{8f120e8a-2ced-c84a-aa40-59a59f563488}";
constexpr char kDevicePrefix[] = "[device_{8f120e8a..}] ";
constexpr char kEnginePrefix[] = "[engine..}] ";

const std::shared_ptr<host::RegistryStats> g_registryStats =
    std::make_shared<host::RegistryStats>();

class BasesEnvironment: public ::testing::Environment
{
public:
    virtual void SetUp() override
    {
        libContext().setName(kLibName);
        libContext().setRefCountableRegistry(new host::Registry(g_registryStats));
    }

    /** Whatever the tests ran, every plugin-side object they made must be gone. */
    virtual void TearDown() override
    {
        EXPECT_TRUE(g_registryStats->waitUntilBalanced(std::chrono::seconds(1)))
            << g_registryStats->alive() << " objects still alive";
        EXPECT_EQ(0, g_registryStats->anomalies());
    }
};

[[maybe_unused]] const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new BasesEnvironment());

std::string addressText(const void* object)
{
    std::ostringstream stream;
    stream << object;
    return stream.str();
}

/** The log lines written after construction. */
class Log
{
public:
    Log() { m_file.mark(); }

    std::vector<std::string> lines() const { return m_file.lines(); }

    bool hasLine(const std::string& line) const
    {
        for (const auto& logged: lines())
        {
            if (logged == line)
                return true;
        }
        return false;
    }

    int countContaining(const std::string& text) const
    {
        return m_file.countLinesContaining(text);
    }

    /** Whether `expected` appears as consecutive lines. */
    bool hasSequence(const std::vector<std::string>& expected) const
    {
        const auto all = lines();
        for (size_t start = 0; start + expected.size() <= all.size(); ++start)
        {
            if (std::equal(expected.begin(), expected.end(), all.begin() + start))
                return true;
        }
        return false;
    }

private:
    host::LogFile m_file;
};

/** A string map whose count is negative, as a broken server could hand over. */
class NegativeCountMap: public host::HostRefCountable<IStringMap>
{
public:
    virtual int32_t count() const override { return -3; }
    virtual const char* key(int32_t) const override { return nullptr; }
    virtual const char* value(int32_t) const override { return nullptr; }
    virtual const char* value(const char*) const override { return nullptr; }
};

/** A plugin-side metadata packet that tells when it is destroyed. */
class TestMetadataPacket: public RefCountable<IMetadataPacket>
{
public:
    TestMetadataPacket(int64_t timestampUs, std::shared_ptr<std::atomic<int>> destroyed = {}):
        m_timestampUs(timestampUs), m_destroyed(std::move(destroyed))
    {
    }

    virtual ~TestMetadataPacket() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }

    virtual int64_t timestampUs() const override { return m_timestampUs; }

private:
    const int64_t m_timestampUs;
    const std::shared_ptr<std::atomic<int>> m_destroyed;
};

//-------------------------------------------------------------------------------------------------
// LogUtils

TEST(LogUtilsTest, MergesItemsAndLogsThemOnlyWithOutputOn)
{
    for (const bool enableOutput: {true, false})
    {
        SCOPED_TRACE(enableOutput ? "output on" : "output off");
        const Log log;
        LogUtils logUtils(enableOutput, "[utils] ");
        std::map<std::string, std::string> target{{"a", "old"}, {"kept", "k"}};
        const auto map = nx::sdk::makePtr<host::StringMap>(
            host::StringMap::Items{{"a", "new"}, {"b", "x\"y"}});

        ASSERT_TRUE(logUtils.convertAndOutputStringMap(&target, map.get(), "caption", 2));

        EXPECT_EQ((std::map<std::string, std::string>{{"a", "new"}, {"b", "x\"y"}, {"kept", "k"}}),
            target);
        const std::vector<std::string> expectedLines{
            "[utils]   caption:",
            "[utils]   {",
            "[utils]       \"a\": \"new\",",
            "[utils]       \"b\": \"x\\\"y\"",
            "[utils]   }",
        };
        EXPECT_EQ(enableOutput, log.hasSequence(expectedLines));
        EXPECT_EQ(enableOutput ? 5 : 0, log.countContaining("[utils] "));
    }
}

//-------------------------------------------------------------------------------------------------
// Engine base

class TestEngine: public nx::sdk::analytics::Engine
{
public:
    explicit TestEngine(bool enableOutput = true): Engine(enableOutput) {}

    using Engine::pushPluginDiagnosticEvent;
    using Engine::settingValue;

    virtual void doObtainDeviceAgent(Result<IDeviceAgent*>*, const IDeviceInfo*) override {}

    int settingsReceivedCalls = 0;
    bool throwFromSettingsReceived = false;
    std::vector<std::string> executedActionIds;
    std::map<std::string, std::string> executedParams;

protected:
    virtual std::string manifestString() const override { return "{\"engine\": true}\n"; }

    virtual Result<const ISettingsResponse*> settingsReceived() override
    {
        ++settingsReceivedCalls;
        if (throwFromSettingsReceived)
            throw std::runtime_error("settings exploded");
        return Engine::settingsReceived();
    }

    virtual Result<IAction::Result> executeAction(
        const std::string& actionId,
        Uuid objectTrackId,
        Uuid deviceId,
        int64_t timestampUs,
        const void* objectTrackInfo,
        const std::map<std::string, std::string>& params) override
    {
        executedActionIds.push_back(actionId);
        executedParams = params;
        return Engine::executeAction(
            actionId, objectTrackId, deviceId, timestampUs, objectTrackInfo, params);
    }
};

TEST(EngineBaseTest, PrintPrefixCarriesTheStartOfTheEngineId)
{
    struct Case
    {
        const char* engineId; //< Null: no engine information at all.
        const char* expectedPrefix;
    };
    const Case cases[] = {
        {"{00000000-1111-4222-8333-444444444444}", "[engine_{00000000..}] "},
        {"ab", "[engine_ab..}] "},
        {nullptr, "[engine..}] "},
    };

    for (const Case& c: cases)
    {
        SCOPED_TRACE(c.expectedPrefix);
        const Log log;
        const auto engine = nx::sdk::makePtr<TestEngine>();
        EXPECT_TRUE(log.hasLine(std::string(kEnginePrefix) + "Created "
            + addressText(engine.get()) + ": \"" + kLibName + "\""));

        const auto engineInfo =
            c.engineId ? nx::sdk::makePtr<host::EngineInfo>(c.engineId) : nullptr;
        engine->setEngineInfo(engineInfo.get());
        host::doSetSettings(engine.get(), host::Settings{});
        EXPECT_TRUE(log.hasLine(std::string(c.expectedPrefix) + "Received settings:"));
    }
}

TEST(EngineBaseTest, SettingsOfOneItemAreLoggedInFourLinesAndReported)
{
    const Log log;
    const auto engine = nx::sdk::makePtr<TestEngine>();

    const auto result = host::doSetSettings(engine.get(), host::Settings{{"ServicePort", "9911"}});

    EXPECT_TRUE(result.isOk());
    EXPECT_FALSE(result.hasResponse); //< The default settingsReceived() answers no response.
    EXPECT_EQ(1, engine->settingsReceivedCalls);
    EXPECT_TRUE(log.hasSequence({
        "[engine..}] Received settings:",
        "[engine..}] {",
        "[engine..}]     \"ServicePort\": \"9911\"",
        "[engine..}] }",
    }));
}

TEST(EngineBaseTest, LaterSettingsMergeIntoEarlierOnes)
{
    const auto engine = nx::sdk::makePtr<TestEngine>(/*enableOutput*/ false);

    host::doSetSettings(engine.get(), host::Settings{{"a", "1"}});
    host::doSetSettings(engine.get(), host::Settings{{"b", "2"}});

    EXPECT_EQ("1", engine->settingValue("a"));
    EXPECT_EQ("2", engine->settingValue("b"));
    EXPECT_EQ("", engine->settingValue("c"));
    EXPECT_EQ(2, engine->settingsReceivedCalls);
}

TEST(EngineBaseTest, UnreadableSettingsFailWithoutReachingTheSubclass)
{
    const auto negative = nx::sdk::makePtr<NegativeCountMap>();
    const struct
    {
        const IStringMap* map;
        const char* expectedLine;
    } cases[] = {
        {nullptr, "[engine..}] ERROR: stringMap is null"},
        {negative.get(), "[engine..}] ERROR: Received settings: count is -3"},
    };

    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.expectedLine);
        const Log log;
        const auto engine = nx::sdk::makePtr<TestEngine>(/*enableOutput*/ false);
        host::doSetSettings(engine.get(), host::Settings{{"a", "1"}});

        const auto result = host::doSetSettings(engine.get(), c.map);

        EXPECT_EQ(ErrorCode::invalidParams, result.errorCode);
        EXPECT_EQ("Unable to convert the input string map", result.errorMessage);
        EXPECT_EQ(1, engine->settingsReceivedCalls);
        EXPECT_EQ("1", engine->settingValue("a"));
        EXPECT_TRUE(log.hasLine(c.expectedLine));
    }
}

TEST(EngineBaseTest, ExceptionOfTheSubclassBecomesAnInternalError)
{
    const Log log;
    const auto engine = nx::sdk::makePtr<TestEngine>(/*enableOutput*/ false);
    engine->throwFromSettingsReceived = true;

    const auto result = host::doSetSettings(engine.get(), host::Settings{{"a", "1"}});

    EXPECT_EQ(ErrorCode::internalError, result.errorCode);
    EXPECT_NE(std::string::npos, result.errorMessage.find("settings exploded"));
    EXPECT_EQ(1,
        log.countContaining("doSetSettings(): INTERNAL ERROR: exception: settings exploded"));
}

TEST(EngineBaseTest, NullActionFailsWithoutExecuting)
{
    const Log log;
    const auto engine = nx::sdk::makePtr<TestEngine>();

    const auto result = host::doExecuteAction(engine.get(), nullptr);

    EXPECT_EQ(ErrorCode::invalidParams, result.errorCode);
    EXPECT_EQ("Action is null", result.errorMessage);
    EXPECT_TRUE(engine->executedActionIds.empty());
    EXPECT_TRUE(log.hasLine("[engine..}] doExecuteAction(): INTERNAL ERROR: action is null"));
}

TEST(EngineBaseTest, ActionIsLoggedAndExecutedWithItsParameters)
{
    const Log log;
    const auto engine = nx::sdk::makePtr<TestEngine>();
    const auto action = nx::sdk::makePtr<host::Action>();
    action->setActionId("skyloom.plugin.mark");
    action->setTimestampUs(1234);
    const auto params = nx::sdk::makePtr<host::StringMap>(host::StringMap::Items{{"p", "v"}});
    action->setParams(params);

    const auto result = host::doExecuteAction(engine.get(), action.get());

    // Ours and the action's: the engine released the reference that params() handed it.
    EXPECT_EQ(2, params->refCount());
    EXPECT_TRUE(result.isOk());
    EXPECT_FALSE(result.actionUrl);
    EXPECT_FALSE(result.messageToUser);
    EXPECT_EQ(std::vector<std::string>{"skyloom.plugin.mark"}, engine->executedActionIds);
    EXPECT_EQ((std::map<std::string, std::string>{{"p", "v"}}), engine->executedParams);
    EXPECT_TRUE(log.hasSequence({
        "[engine..}] doExecuteAction():",
        "[engine..}] {",
        "[engine..}]     actionId: \"skyloom.plugin.mark\"",
    }));
    EXPECT_TRUE(log.hasSequence({
        "[engine..}]     timestampUs: 1234",
        "[engine..}]     params:",
        "[engine..}]     {",
        "[engine..}]         \"p\": \"v\"",
        "[engine..}]     }",
        "[engine..}] }",
    }));
}

TEST(EngineBaseTest, ActionWithoutParametersIsRefused)
{
    const auto engine = nx::sdk::makePtr<TestEngine>(/*enableOutput*/ false);
    const auto action = nx::sdk::makePtr<host::Action>();
    action->setParams(nullptr);

    const auto result = host::doExecuteAction(engine.get(), action.get());

    EXPECT_EQ(ErrorCode::invalidParams, result.errorCode);
    EXPECT_EQ("Invalid action parameters", result.errorMessage);
    EXPECT_TRUE(engine->executedActionIds.empty());
}

TEST(EngineBaseTest, DiagnosticEventBeforeSetHandlerIsDroppedThenDelivered)
{
    const Log log;
    const auto engine = nx::sdk::makePtr<TestEngine>();
    const auto handler = nx::sdk::makePtr<host::EngineHandler>();

    engine->pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::warning, "early", "lost");
    EXPECT_TRUE(log.hasLine("[engine..}] pushPluginDiagnosticEvent(): INTERNAL ERROR: "
        "setHandler() was not called; ignoring the Plugin Diagnostic Event."));

    engine->setHandler(handler.get());
    EXPECT_EQ(2, handler->refCount());
    engine->pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::error, "caption", "text");

    const auto events = handler->events();
    ASSERT_EQ(1U, events.size());
    EXPECT_EQ(IPluginDiagnosticEvent::Level::error, events[0].level);
    EXPECT_EQ("caption", events[0].caption);
    EXPECT_EQ("text", events[0].description);
    EXPECT_TRUE(log.hasLine("[engine..}] Producing Plugin Diagnostic Event:"));
}

TEST(EngineBaseTest, ReleasingTheEngineLogsAndDropsTheHandler)
{
    const Log log;
    const auto handler = nx::sdk::makePtr<host::EngineHandler>();
    auto engine = nx::sdk::makePtr<TestEngine>();
    engine->setHandler(handler.get());
    const std::string address = addressText(engine.get());

    const auto manifest = host::getManifest(engine.get());
    EXPECT_EQ("{\"engine\": true}\n", manifest.manifest);
    const auto pluginSide = host::getPluginSideSettings(engine.get());
    EXPECT_TRUE(pluginSide.isOk());
    EXPECT_FALSE(pluginSide.hasResponse);

    engine.reset();

    EXPECT_EQ(1, handler->refCount());
    EXPECT_TRUE(log.hasLine("[engine..}] Destroyed " + address));
}

//-------------------------------------------------------------------------------------------------
// Plugin base

TEST(PluginBaseTest, WithoutManifestOrEngineFactoryReportsTheMissingOverride)
{
    const Log log;
    const auto plugin = nx::sdk::makePtr<nx::sdk::analytics::Plugin>();
    EXPECT_TRUE(log.hasLine(
        std::string("[plugin] Created ") + kLibName + "[" + addressText(plugin.get()) + "]"));

    const auto engine = host::obtainEngine(plugin.get());
    const std::string message = "Either doObtainEngine() should be overridden, or the "
        "constructor with createEngine argument (deprecated) should be called.";
    EXPECT_EQ(ErrorCode::internalError, engine.errorCode);
    EXPECT_EQ(message, engine.errorMessage);
    EXPECT_FALSE(engine.object);
    EXPECT_TRUE(log.hasLine(std::string("[plugin] ERROR: ") + kLibName + ": " + message));
    EXPECT_EQ(1, log.countContaining("(false) " + message));

    const auto manifest = host::getManifest(plugin.get());
    EXPECT_TRUE(manifest.isOk());
    EXPECT_EQ("", manifest.manifest);
    EXPECT_EQ(1, log.countContaining("(false) Either manifestString() should be overridden"));
}

TEST(PluginBaseTest, OlderConstructorUsesTheGivenManifestAndFactory)
{
    const Log log;
    int factoryCalls = 0;
    const auto failing = nx::sdk::makePtr<nx::sdk::analytics::Plugin>("{\"id\": \"x\"}\n",
        [&](nx::sdk::analytics::Plugin*) -> IEngine* { ++factoryCalls; return nullptr; });

    EXPECT_EQ("{\"id\": \"x\"}\n", host::getManifest(failing.get()).manifest);
    const auto failed = host::obtainEngine(failing.get());
    EXPECT_EQ(ErrorCode::otherError, failed.errorCode);
    EXPECT_EQ("Unable to create Engine", failed.errorMessage);
    EXPECT_TRUE(log.hasLine(std::string("[plugin] ERROR: ") + kLibName
        + ": Unable to create Engine"));

    const auto working = nx::sdk::makePtr<nx::sdk::analytics::Plugin>("{}",
        [&](nx::sdk::analytics::Plugin*) -> IEngine*
        {
            ++factoryCalls;
            return new TestEngine(/*enableOutput*/ false);
        });
    const auto obtained = host::obtainEngine(working.get());
    EXPECT_TRUE(obtained.isOk());
    EXPECT_TRUE(obtained.object);
    EXPECT_EQ(2, factoryCalls);
}

TEST(PluginBaseTest, HoldsTheUtilityProviderUntilReleased)
{
    const Log log;
    const auto provider = nx::sdk::makePtr<host::UtilityProvider>();
    auto plugin = nx::sdk::makePtr<nx::sdk::analytics::Plugin>();
    const std::string address = addressText(plugin.get());

    plugin->setUtilityProvider(provider.get());
    EXPECT_EQ(2, provider->refCount());
    plugin.reset();

    EXPECT_EQ(1, provider->refCount());
    EXPECT_TRUE(log.hasLine(std::string("[plugin] Destroyed ") + kLibName + "[" + address + "]"));
}

//-------------------------------------------------------------------------------------------------
// Consuming device agent base

class TestAgent: public ConsumingDeviceAgent
{
public:
    TestAgent(const IDeviceInfo* deviceInfo, bool enableOutput):
        ConsumingDeviceAgent(deviceInfo, enableOutput)
    {
    }

    using ConsumingDeviceAgent::logMetadataPacketIfNeeded;
    using ConsumingDeviceAgent::pushManifest;
    using ConsumingDeviceAgent::pushMetadataPacket;
    using ConsumingDeviceAgent::pushPluginDiagnosticEvent;
    using ConsumingDeviceAgent::settingValue;

    virtual void doSetNeededMetadataTypes(Result<void>*, const IMetadataTypes*) override {}

    bool compressedAnswer = true;
    bool uncompressedAnswer = true;
    bool customAnswer = true;
    bool pullAnswer = true;
    int compressedCalls = 0;
    int uncompressedCalls = 0;
    int customCalls = 0;
    int pullCalls = 0;

    /** Handed out, one reference each, by the next pull. */
    std::vector<IMetadataPacket*> packetsToPull;

protected:
    virtual std::string manifestString() const override { return "{\"agent\": true}\n"; }

    virtual bool pushCompressedVideoFrame(const ICompressedVideoPacket*) override
    {
        ++compressedCalls;
        return compressedAnswer;
    }

    virtual bool pushUncompressedVideoFrame(const IUncompressedVideoFrame*) override
    {
        ++uncompressedCalls;
        return uncompressedAnswer;
    }

    virtual bool pushCustomMetadataPacket(const ICustomMetadataPacket*) override
    {
        ++customCalls;
        return customAnswer;
    }

    virtual bool pullMetadataPackets(std::vector<IMetadataPacket*>* metadataPackets) override
    {
        ++pullCalls;
        metadataPackets->insert(
            metadataPackets->end(), packetsToPull.begin(), packetsToPull.end());
        packetsToPull.clear();
        return pullAnswer;
    }
};

Ptr<TestAgent> makeAgent(bool enableOutput = true, const char* deviceId = kDeviceId)
{
    const auto deviceInfo = nx::sdk::makePtr<host::DeviceInfo>(std::string(deviceId));
    return nx::sdk::makePtr<TestAgent>(deviceInfo.get(), enableOutput);
}

TEST(ConsumingDeviceAgentTest, PrintPrefixCarriesTheStartOfTheDeviceId)
{
    const struct
    {
        const char* deviceId; //< Null: no device information at all.
        const char* expectedPrefix;
    } cases[] = {
        {kDeviceId, kDevicePrefix},
        {"ab", "[device_ab..}] "},
        {nullptr, "[device..}] "},
    };

    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.expectedPrefix);
        const Log log;
        const auto deviceInfo =
            c.deviceId ? nx::sdk::makePtr<host::DeviceInfo>(std::string(c.deviceId)) : nullptr;
        const auto agent = nx::sdk::makePtr<TestAgent>(deviceInfo.get(), false);

        EXPECT_TRUE(log.hasLine(
            std::string(c.expectedPrefix) + "Created " + addressText(agent.get())));
        EXPECT_EQ(c.deviceId ? 0 : 1, log.countContaining("(deviceInfo)"));
    }
}

TEST(ConsumingDeviceAgentTest, FailedPushesAreReportedWithTheirCodeAndText)
{
    using PacketFactory = std::function<Ptr<IDataPacket>()>;
    const auto compressed =
        [](int64_t timestampUs) -> PacketFactory
        {
            return [=]() { return Ptr<IDataPacket>(new host::CompressedVideoPacket(timestampUs)); };
        };

    const struct
    {
        const char* name;
        PacketFactory makePacket;
        std::function<void(TestAgent&)> configure;
        bool setHandler;
        ErrorCode expectedCode;
        const char* expectedCodeName;
        const char* expectedMessage;
        int expectedPullCalls;
    } cases[] = {
        {"null packet", []() { return Ptr<IDataPacket>(); }, {}, true,
            ErrorCode::invalidParams, "invalidParams", "dataPacket is null; discarding it.", 0},
        {"negative timestamp", compressed(-1), {}, true,
            ErrorCode::invalidParams, "invalidParams",
            "dataPacket has invalid timestamp -1; discarding the packet.", 0},
        {"unsupported packet",
            []() { return Ptr<IDataPacket>(new host::TimestampedPacket<IDataPacket>(5)); },
            {}, true,
            ErrorCode::invalidParams, "invalidParams", "Unsupported frame supplied; ignored.", 0},
        {"compressed push refused", compressed(5),
            [](TestAgent& a) { a.compressedAnswer = false; }, true,
            ErrorCode::otherError, "otherError", "pushCompressedVideoFrame() failed.", 0},
        {"uncompressed push refused",
            []() { return Ptr<IDataPacket>(new host::UncompressedVideoFrame(5)); },
            [](TestAgent& a) { a.uncompressedAnswer = false; }, true,
            ErrorCode::otherError, "otherError", "pushUncompressedVideoFrame() failed.", 0},
        {"custom push refused",
            []() { return Ptr<IDataPacket>(new host::CustomMetadataPacket(5)); },
            [](TestAgent& a) { a.customAnswer = false; }, true,
            ErrorCode::otherError, "otherError", "pushCustomMetadataPacket() failed.", 0},
        {"no handler", compressed(5), {}, false,
            ErrorCode::internalError, "internalError", "setHandler() was not called.", 0},
        {"pull refused", compressed(5), [](TestAgent& a) { a.pullAnswer = false; }, true,
            ErrorCode::otherError, "otherError", "pullMetadataPackets() failed.", 1},
    };

    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.name);
        const Log log;
        const auto agent = makeAgent();
        const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();
        if (c.setHandler)
            agent->setHandler(handler.get());
        if (c.configure)
            c.configure(*agent);
        const auto packet = c.makePacket();

        const auto status = host::doPushDataPacket(agent.get(), packet.get());

        EXPECT_EQ(c.expectedCode, status.errorCode);
        EXPECT_EQ(c.expectedMessage, status.errorMessage);
        EXPECT_TRUE(log.hasLine(std::string(kDevicePrefix) + "doPushDataPacket() END -> "
            + c.expectedCodeName + ": " + c.expectedMessage));
        EXPECT_EQ(c.expectedPullCalls, agent->pullCalls);
    }
}

TEST(ConsumingDeviceAgentTest, EndMarkerOnlyWithOutputOn)
{
    const Log log;
    const auto agent = makeAgent(/*enableOutput*/ false);

    host::doPushDataPacket(agent.get(), nullptr);

    EXPECT_TRUE(log.hasLine(std::string(kDevicePrefix)
        + "doPushDataPacket() -> invalidParams: dataPacket is null; discarding it."));
    EXPECT_EQ(0, log.countContaining("END "));
}

TEST(ConsumingDeviceAgentTest, PacketOfTwoKindsGoesToTheCompressedHookOnly)
{
    const auto agent = makeAgent();
    const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();
    agent->setHandler(handler.get());
    const auto packet = nx::sdk::makePtr<host::CompressedVideoWithCustomMetadataPacket>(0);

    const auto status = host::doPushDataPacket(
        agent.get(), static_cast<ICompressedVideoPacket*>(packet.get()));

    EXPECT_TRUE(status.isOk()); //< A timestamp of 0 is valid.
    EXPECT_EQ(1, agent->compressedCalls);
    EXPECT_EQ(0, agent->customCalls);
    EXPECT_EQ(0, agent->uncompressedCalls);
    EXPECT_EQ(1, agent->pullCalls);
    EXPECT_EQ(1, packet->refCount()); //< The queried interfaces were released.
}

TEST(ConsumingDeviceAgentTest, PulledBatchArrivesInOrderAndSkipsANullEntry)
{
    const Log log;
    const auto agent = makeAgent();
    const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();
    agent->setHandler(handler.get());
    const auto destroyed = std::make_shared<std::atomic<int>>(0);
    agent->packetsToPull = {
        new TestMetadataPacket(100, destroyed), nullptr, new TestMetadataPacket(300, destroyed)};

    const auto status = host::doPushDataPacket(
        agent.get(), nx::sdk::makePtr<host::CompressedVideoPacket>(10).get());

    EXPECT_TRUE(status.isOk());
    const auto packets = handler->packets();
    ASSERT_EQ(2U, packets.size());
    EXPECT_EQ(100, packets[0].timestampUs);
    EXPECT_EQ(300, packets[1].timestampUs);
    EXPECT_TRUE(log.hasLine(std::string(kDevicePrefix)
        + "processMetadataPacket(): WARNING: Null metadata packet #1 found; discarded."));
    EXPECT_EQ(2, destroyed->load()); //< The base dropped the references it took over.
}

TEST(ConsumingDeviceAgentTest, RegressionPullFailureLeakedThePulledPackets)
{
    const auto agent = makeAgent(/*enableOutput*/ false);
    const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();
    agent->setHandler(handler.get());
    const auto destroyed = std::make_shared<std::atomic<int>>(0);
    agent->packetsToPull = {new TestMetadataPacket(100, destroyed)};
    agent->pullAnswer = false;

    host::doPushDataPacket(agent.get(), nx::sdk::makePtr<host::CompressedVideoPacket>(10).get());

    EXPECT_EQ(0U, handler->packetCount());
    EXPECT_EQ(1, destroyed->load());
}

TEST(ConsumingDeviceAgentTest, PacketPushedBeforeSetHandlerIsLoggedAndReleased)
{
    const Log log;
    const auto agent = makeAgent(/*enableOutput*/ false);
    const auto destroyed = std::make_shared<std::atomic<int>>(0);

    agent->pushMetadataPacket(new TestMetadataPacket(100, destroyed));

    EXPECT_EQ(1, destroyed->load());
    EXPECT_TRUE(log.hasLine(std::string(kDevicePrefix) + "processMetadataPacket(): "
        "INTERNAL ERROR: setHandler() was not called; ignoring the packet"));
}

TEST(ConsumingDeviceAgentTest, DiagnosticEventsAndManifestsReachTheHandlerOnceItIsSet)
{
    const Log log;
    const auto agent = makeAgent(/*enableOutput*/ false);
    const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();

    agent->pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::info, "early", "lost");
    agent->pushManifest("{\"lost\": true}");
    EXPECT_TRUE(log.hasLine(std::string(kDevicePrefix) + "pushPluginDiagnosticEvent(): "
        "INTERNAL ERROR: setHandler() was not called; ignoring Plugin Diagnostic Event."));

    agent->setHandler(handler.get());
    agent->pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::warning, "caption", "text");
    agent->pushManifest("{\"new\": true}");

    const auto records = handler->snapshot();
    ASSERT_EQ(1U, records.diagnosticEvents.size());
    EXPECT_EQ(IPluginDiagnosticEvent::Level::warning, records.diagnosticEvents[0].level);
    EXPECT_EQ("caption", records.diagnosticEvents[0].caption);
    EXPECT_EQ("text", records.diagnosticEvents[0].description);
    EXPECT_EQ(std::vector<std::string>{"{\"new\": true}"}, records.manifests);
}

TEST(ConsumingDeviceAgentTest, SettingsMergeAndInvalidOnesAreRefused)
{
    const auto agent = makeAgent(/*enableOutput*/ false);

    EXPECT_TRUE(host::doSetSettings(agent.get(), host::Settings{{"a", "1"}}).isOk());
    const auto second = host::doSetSettings(agent.get(), host::Settings{{"b", "2"}});
    EXPECT_TRUE(second.isOk());
    EXPECT_FALSE(second.hasResponse);
    const auto refused = host::doSetSettings(agent.get(), static_cast<const IStringMap*>(nullptr));

    EXPECT_EQ(ErrorCode::invalidParams, refused.errorCode);
    EXPECT_EQ("Settings are invalid", refused.errorMessage);
    EXPECT_EQ("1", agent->settingValue("a"));
    EXPECT_EQ("2", agent->settingValue("b"));
    EXPECT_EQ("", agent->settingValue("c"));
    EXPECT_EQ("{\"agent\": true}\n", host::getManifest(agent.get()).manifest);
}

TEST(ConsumingDeviceAgentTest, UnknownPacketKindIsWarnedAboutOnlyWithOutputOn)
{
    for (const bool enableOutput: {true, false})
    {
        const Log log;
        const auto agent = makeAgent(enableOutput);
        const auto packet = nx::sdk::makePtr<TestMetadataPacket>(0);

        agent->logMetadataPacketIfNeeded(packet.get(), " #2");

        EXPECT_EQ(enableOutput ? 1 : 0, log.countContaining(std::string(kDevicePrefix)
            + "logMetadataPacketIfNeeded(): WARNING: Metadata packet #2 has unknown type."));
    }
}

TEST(ConsumingDeviceAgentTest, PushesFromAnotherThreadSurviveHandlerReplacement)
{
    constexpr int kPackets = 300;
    const auto agent = makeAgent(/*enableOutput*/ false);
    std::vector<Ptr<host::DeviceAgentHandler>> handlers{
        nx::sdk::makePtr<host::DeviceAgentHandler>()};
    agent->setHandler(handlers.back().get());

    std::thread pusher(
        [&]()
        {
            for (int i = 0; i < kPackets; ++i)
                agent->pushMetadataPacket(new TestMetadataPacket(i));
        });
    for (int i = 0; i < 50; ++i)
    {
        handlers.push_back(nx::sdk::makePtr<host::DeviceAgentHandler>());
        agent->setHandler(handlers.back().get());
    }
    pusher.join();

    size_t delivered = 0;
    for (const auto& handler: handlers)
        delivered += handler->packetCount();
    EXPECT_EQ(static_cast<size_t>(kPackets), delivered);
}

} // namespace
