// The plugin library loaded the way the server loads it (dlopen, the exported entry points, the
// library context with the host's registry), with the engine's relay running.
//
// A relay binds only five seconds after its engine is created, so the whole binary shares its
// engines: engine A (relay on the service port 9911, later another as well, and its diagnostic copy
// on tcp://127.0.0.1:688, where watchers of the old fixed port look for it) and engine B, created
// once A is listening, whose service port setting "abc" reads as 0 and so also means 9911: both
// of its endpoints are taken. The tests run in the order written;
// the last ones release everything. Run alone with a filter, each test still sets up what it
// needs. The log file is "log_skyloom_0.log" in the working directory.
#include <arpa/inet.h>
#include <elf.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <nx/sdk/analytics/i_consuming_device_agent.h>

#include <skyloom/testhost/testhost.h>

namespace {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace std::chrono;
using namespace std::chrono_literals;
namespace host = skyloom::testhost;

/** The default port, which engine B finds taken. */
constexpr int kPortA = 9911;
const int kChangedPortA = host::testPort(0);
/** "LoopbackRelayEndpoint" of the engines here: the old fixed port, as the tests watch it. */
constexpr char kCopyEndpoint[] = "tcp://127.0.0.1:688";

constexpr char kEngineIdA[] = "{aaaaaaaa-0000-4000-8000-00000000000a}";
constexpr char kEngineIdB[] = "{bbbbbbbb-0000-4000-8000-00000000000b}";
constexpr char kEngineIdC[] = "{cccccccc-0000-4000-8000-00000000000c}";
constexpr char kPrefixA[] = "[engine_{aaaaaaaa..}] ";
constexpr char kPrefixB[] = "[engine_{bbbbbbbb..}] ";
constexpr char kPrefixC[] = "[engine_{cccccccc..}] ";

constexpr char kCameraId[] = "{8f120e8a-2ced-c84a-aa40-59a59f563488}";
constexpr char kCameraIdText[] = "8f120e8a-2ced-c84a-aa40-59a59f563488";
constexpr int64_t kFrameTimeUs = 1598863206064000;

/** Long enough for the five-second start-up on a loaded machine. */
constexpr milliseconds kRelayStartTimeout = 30s;
constexpr milliseconds kDeliveryTimeout = 10s;

double elapsedMs(steady_clock::time_point start)
{
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

/** Polls the log until it holds exactly this line; false on timeout. */
bool waitForExactLine(const host::LogFile& log, const std::string& expected, milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    for (;;)
    {
        for (const auto& line: log.lines())
        {
            if (line == expected)
                return true;
        }
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

/**
 * Whether this process could bind 127.0.0.1:688 now (the socket is closed again at once).
 * Connections of earlier watchers may linger in TIME_WAIT; like any server, it reuses the port.
 */
bool canBindLoopbackPort688()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(688);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return bound;
}

std::string cameraAlarm(const std::string& caption)
{
    return std::string(R"({"src_uuid":")") + kCameraIdText + R"(","source":"fire","caption":")"
        + caption + R"(","description":"d","event":{}})";
}

void reportMeasurement(const std::string& what, double ms)
{
    std::cout << "[ MEASURED ] " << what << ": " << ms << " ms" << std::endl;
    ::testing::Test::RecordProperty(what, std::to_string(ms));
}

//-------------------------------------------------------------------------------------------------
// The dynamic symbol table, read from the file.

template<typename T>
T readAt(const std::string& data, uint64_t offset)
{
    if (offset > data.size() || data.size() - offset < sizeof(T))
        throw std::out_of_range("ELF structure beyond the end of the file");
    T value;
    std::memcpy(&value, data.data() + offset, sizeof(T));
    return value;
}

/** A manifest as the server has always been given it, kept in data/. */
std::string recordedManifest(const std::string& name)
{
    std::ifstream file(std::string(SKYLOOM_MANIFESTS_DIR) + "/" + name, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read the recorded manifest " + name);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

/** Names of the symbols that the library defines in its dynamic symbol table. */
std::set<std::string> definedDynamicSymbols(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

    const auto header = readAt<Elf64_Ehdr>(data, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file: " + path);

    const auto section =
        [&](uint64_t index)
        {
            return readAt<Elf64_Shdr>(data, header.e_shoff + index * header.e_shentsize);
        };

    std::set<std::string> names;
    for (uint64_t i = 0; i < header.e_shnum; ++i)
    {
        const Elf64_Shdr symbols = section(i);
        if (symbols.sh_type != SHT_DYNSYM || symbols.sh_entsize == 0)
            continue;
        const Elf64_Shdr strings = section(symbols.sh_link);
        for (uint64_t k = 0; k < symbols.sh_size / symbols.sh_entsize; ++k)
        {
            const auto symbol =
                readAt<Elf64_Sym>(data, symbols.sh_offset + k * symbols.sh_entsize);
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0 || binding == STB_LOCAL)
                continue;
            if (symbol.st_name >= strings.sh_size)
                throw std::out_of_range("symbol name beyond its string table");
            names.insert(std::string(data.c_str() + strings.sh_offset + symbol.st_name));
        }
    }
    return names;
}

//-------------------------------------------------------------------------------------------------
// What the whole binary shares.

struct EngineUnderTest
{
    Ptr<IEngine> engine;
    Ptr<host::EngineHandler> handler;
};

class PluginLibraryTest: public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The default port and the old diagnostic port are what some tests are about.
        host::holdFixedPorts({688, kPortA});
        s_library = std::make_unique<host::PluginLibrary>();
        if (!s_library->load(SKYLOOM_PLUGIN_PATH))
            return;
        s_utilityProvider = nx::sdk::makePtr<host::UtilityProvider>();
        s_plugin = s_library->createPlugin(s_utilityProvider.get());
    }

    static void TearDownTestSuite()
    {
        s_engineA = {};
        s_engineB = {};
        s_plugin = nullptr;
    }

    virtual void SetUp() override
    {
        ASSERT_TRUE(s_library->isLoaded()) << s_library->errorText();
        ASSERT_TRUE(s_plugin) << s_library->errorText();
    }

    static EngineUnderTest startEngine(const char* engineId, const std::string& servicePort)
    {
        EngineUnderTest result;
        const auto obtained = host::obtainEngine(s_plugin.get());
        EXPECT_TRUE(obtained.isOk()) << obtained.errorMessage;
        result.engine = obtained.object;
        if (!result.engine)
            return result;
        result.handler = nx::sdk::makePtr<host::EngineHandler>();
        result.engine->setHandler(result.handler.get());
        result.engine->setEngineInfo(nx::sdk::makePtr<host::EngineInfo>(engineId).get());
        const auto settings = host::doSetSettings(result.engine.get(), host::Settings{
            {"ServicePort", servicePort}, {"LoopbackRelayEndpoint", kCopyEndpoint}});
        EXPECT_TRUE(settings.isOk()) << settings.errorMessage;
        return result;
    }

    /** Engine A, listening; then engine B is started, so that it finds A's endpoints taken. */
    static void ensureEngines()
    {
        if (s_engineA.engine)
            return;
        const host::LogFile log;
        const auto start = steady_clock::now();
        s_engineA = startEngine(kEngineIdA, std::to_string(kPortA));
        ASSERT_TRUE(s_engineA.engine);
        ASSERT_TRUE(waitForExactLine(log, std::string(kPrefixA)
            + "threadFuncZeromqLoop bind tcp://*:" + std::to_string(kPortA), kRelayStartTimeout));
        const double startupMs = elapsedMs(start);
        reportMeasurement("relay start-up (first bind after creation)", startupMs);
        // The library that servers load gives the server its five seconds to deliver the
        // settings (the tests' build of the library binds sooner).
        EXPECT_GE(startupMs, 5000.0);
        s_engineB = startEngine(kEngineIdB, "abc");
    }

    static std::unique_ptr<host::PluginLibrary> s_library;
    static Ptr<host::UtilityProvider> s_utilityProvider;
    static Ptr<nx::sdk::analytics::IPlugin> s_plugin;
    static EngineUnderTest s_engineA;
    static EngineUnderTest s_engineB;
};

std::unique_ptr<host::PluginLibrary> PluginLibraryTest::s_library;
Ptr<host::UtilityProvider> PluginLibraryTest::s_utilityProvider;
Ptr<nx::sdk::analytics::IPlugin> PluginLibraryTest::s_plugin;
EngineUnderTest PluginLibraryTest::s_engineA;
EngineUnderTest PluginLibraryTest::s_engineB;

/** Sends probes until the subscriber sees one, then drains the probes still under way. */
void connectThroughRelay(host::AiEnginePublisher& publisher, host::LoopbackSubscriber& subscriber)
{
    ASSERT_TRUE(publisher.isOpen()) << publisher.errorText();
    ASSERT_TRUE(subscriber.isOpen()) << subscriber.errorText();
    const std::string probe = "probe " + publisher.endpoint();
    ASSERT_TRUE(publisher.sendUntil(probe,
        [&]() { return subscriber.receive(100ms) == std::optional<std::string>(probe); },
        kDeliveryTimeout)) << "nothing sent to " << publisher.endpoint() << " was relayed";
    while (subscriber.receive(200ms))
    {
    }
}

//-------------------------------------------------------------------------------------------------

TEST_F(PluginLibraryTest, ExportsExactlyTheThreeEntryPoints)
{
    const std::set<std::string> expected{"createNxPlugin", "nxLibContext", "nxSdkVersion"};
    EXPECT_EQ(expected, definedDynamicSymbols(s_library->path()));
    EXPECT_EQ("4.1.0 R9", s_library->sdkVersion());
}

TEST_F(PluginLibraryTest, PluginManifestOffersTheServicePortSetting)
{
    const auto result = host::getManifest(s_plugin.get());
    ASSERT_TRUE(result.isOk());
    EXPECT_EQ(recordedManifest("plugin_manifest.json"), result.manifest); //< Byte for byte.
    ASSERT_GE(result.manifest.size(), 2U);
    EXPECT_EQ("}\n", result.manifest.substr(result.manifest.size() - 2));

    const auto manifest = nlohmann::json::parse(result.manifest);
    EXPECT_EQ("skyloom.plugin", manifest.at("id"));
    EXPECT_EQ("Skyloom Analytics Plugin", manifest.at("name"));
    EXPECT_EQ("1.1.0", manifest.at("version"));
    EXPECT_EQ("Skyloom", manifest.at("vendor"));
    const auto& groups = manifest.at("engineSettingsModel").at("items");
    ASSERT_EQ(3U, groups.size());
    EXPECT_EQ("Engine settings", groups.at(0).at("caption"));
    const auto& items = groups.at(0).at("items");
    ASSERT_EQ(5U, items.size());
    EXPECT_EQ("SpinBox", items[0].at("type"));
    EXPECT_EQ("ServicePort", items[0].at("name"));
    EXPECT_EQ(9911, items[0].at("defaultValue"));
    EXPECT_EQ(1024, items[0].at("minValue"));
    EXPECT_EQ(65535, items[0].at("maxValue"));
    // Text fields whose defaults keep the port open to anyone, unencrypted, as before.
    const std::vector<std::pair<int, std::vector<std::pair<std::string, std::string>>>>
        textFields = {
            {0, {{"ServiceAddress", "*"}, {"AllowedEngineAddresses", ""}}},
            {1, {{"CurveSecretKeyFile", ""}, {"AuthorizedEnginesDirectory", ""}}},
        };
    for (const auto& [group, fields]: textFields)
    {
        const auto& groupItems = groups.at(group).at("items");
        const size_t first = group == 0 ? 1 : 0;
        const size_t after = group == 0 ? 2 : 0; //< IsolateReceiver, ReceiveMessagesFor.
        ASSERT_EQ(first + fields.size() + after, groupItems.size());
        for (size_t i = 0; i < fields.size(); ++i)
        {
            EXPECT_EQ("TextField", groupItems[first + i].at("type"));
            EXPECT_EQ(fields[i].first, groupItems[first + i].at("name"));
            EXPECT_EQ(fields[i].second, groupItems[first + i].at("defaultValue"));
        }
    }
    EXPECT_EQ("Encryption", groups.at(1).at("caption"));
    // The receiver in a process of its own unless the administrator says otherwise.
    EXPECT_EQ("CheckBox", items[3].at("type"));
    EXPECT_EQ("IsolateReceiver", items[3].at("name"));
    EXPECT_EQ(true, items[3].at("defaultValue"));
    // Every message reaches every server unless the administrator narrows it.
    EXPECT_EQ("ComboBox", items[4].at("type"));
    EXPECT_EQ("ReceiveMessagesFor", items[4].at("name"));
    EXPECT_EQ("allCameras", items[4].at("defaultValue"));

    EXPECT_EQ("Diagnostics", groups.at(2).at("caption"));
    const auto& diagnostics = groups.at(2).at("items");
    ASSERT_EQ(3U, diagnostics.size());
    EXPECT_EQ("CheckBox", diagnostics[0].at("type"));
    EXPECT_EQ("LoopbackRelay", diagnostics[0].at("name"));
    EXPECT_EQ(true, diagnostics[0].at("defaultValue"));
    // Empty: the copy is a private socket of the server's user unless another endpoint is named.
    EXPECT_EQ("TextField", diagnostics[1].at("type"));
    EXPECT_EQ("LoopbackRelayEndpoint", diagnostics[1].at("name"));
    EXPECT_EQ("", diagnostics[1].at("defaultValue"));
    EXPECT_EQ("TextField", diagnostics[2].at("type"));
    EXPECT_EQ("MetricsFile", diagnostics[2].at("name"));
    EXPECT_EQ("", diagnostics[2].at("defaultValue"));
}

TEST_F(PluginLibraryTest, EngineManifestAsksForVideoAndDeclaresTheAgentSettings)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    const auto result = host::getManifest(s_engineA.engine.get());
    ASSERT_TRUE(result.isOk());
    EXPECT_EQ(recordedManifest("engine_manifest.json"), result.manifest); //< Byte for byte.
    ASSERT_GE(result.manifest.size(), 2U);
    EXPECT_EQ("}\n", result.manifest.substr(result.manifest.size() - 2));

    const auto manifest = nlohmann::json::parse(result.manifest);
    EXPECT_EQ("", manifest.at("capabilities"));
    EXPECT_EQ("motion|compressedVideo|metadata", manifest.at("streamTypeFilter"));
    EXPECT_EQ("primary", manifest.at("preferredStream"));
    EXPECT_FALSE(manifest.contains("eventTypes"));
    EXPECT_FALSE(manifest.contains("objectTypes"));

    const auto& model = manifest.at("deviceAgentSettingsModel");
    std::vector<std::string> names;
    for (const auto& item: model.at("items").at(0).at("items"))
        names.push_back(item.value("name", "(" + item.at("type").get<std::string>() + ")"));
    const std::vector<std::string> expectedNames{"skipNullFaceObject", "skipNullPlateObject",
        "showCounter", "(Separator)", "enableDebugDump", "enableMetadata", "timeCorrection",
        "timestampSource"};
    EXPECT_EQ(expectedNames, names);
    const auto& items = model.at("items").at(0).at("items");
    EXPECT_EQ(true, items[0].at("defaultValue"));
    EXPECT_EQ(false, items[5].at("defaultValue"));
    EXPECT_EQ(-5000, items[6].at("minValue"));
    EXPECT_EQ(5000, items[6].at("maxValue"));
    EXPECT_EQ("ROI", model.at("sections").at(0).at("caption"));
}

// The port was read like atoi: "12abc" bound 12, "-5" a wrapped value, "0" a random port.
TEST_F(PluginLibraryTest, ServicePortWasReadLikeAtoiAndAFreshEngineStopsAtOnce)
{
    const struct
    {
        const char* text;
        int accepted; //< 0: refused.
    } cases[] = {
        {"19999", 19999}, {"1024", 1024}, {"65535", 65535},
        {"  42", 0}, {"12abc", 0}, {"+7", 0}, {"-5", 0}, {"abc", 0}, {"", 0}, {"0", 0},
        {"1023", 0}, {"65536", 0}, {"99999999999", 0}, {"2147483647", 0}, {"9911 ", 0},
    };

    auto engine = host::obtainEngine(s_plugin.get()).object;
    ASSERT_TRUE(engine);
    engine->setEngineInfo(nx::sdk::makePtr<host::EngineInfo>(kEngineIdC).get());

    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.text);
        host::LogFile log;
        log.mark();
        const auto result =
            host::doSetSettings(engine.get(), host::Settings{{"ServicePort", c.text}});
        EXPECT_TRUE(result.isOk());
        EXPECT_TRUE(result.hasResponse);
        if (c.accepted)
        {
            EXPECT_TRUE(result.errors.empty());
            EXPECT_EQ(1, log.countLinesContaining(std::string(kPrefixC)
                + "settingsReceived m_servicePort:" + std::to_string(c.accepted)));
        }
        else
        {
            ASSERT_EQ(1U, result.errors.count("ServicePort"));
            EXPECT_NE(std::string::npos,
                result.errors.at("ServicePort").find("a whole number from 1024 to 65535"));
            EXPECT_EQ(1, log.countLinesContaining(std::string(kPrefixC)
                + "settingsReceived ServicePort "));
            EXPECT_EQ(0, log.countLinesContaining("m_servicePort:"));
        }
    }

    // Released in its first seconds: the relay must not bind anything on its way out.
    const auto start = steady_clock::now();
    engine = nullptr;
    const double releaseMs = elapsedMs(start);
    reportMeasurement("release of a fresh engine", releaseMs);
    EXPECT_LT(releaseMs, 1000); //< Its five-second start-up delay is cut short.
    const host::LogFile log;
    EXPECT_EQ(1,
        log.countLinesContaining(std::string(kPrefixC) + "threadFuncZeromqLoop terminated!!"));
    EXPECT_EQ(0, log.countLinesContaining(std::string(kPrefixC) + "threadFuncZeromqLoop bind"));
}

TEST_F(PluginLibraryTest, RelayForwardsMessagesByteForByte)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    host::LoopbackSubscriber subscriber;
    host::AiEnginePublisher publisher(kPortA);
    connectThroughRelay(publisher, subscriber);

    const std::string small = std::string("{\"src_uuid\":\"8f120e8a\",\"bytes\":\"") + '\0'
        + "\xff\xfe\x01\"}";
    // About the size of a message with an embedded image.
    std::string large(700 * 1024, 'x');
    for (size_t i = 0; i < large.size(); i += 997)
        large[i] = static_cast<char>(i % 256);

    for (const std::string& message: {small, large})
    {
        ASSERT_TRUE(publisher.send(message)) << publisher.errorText();
        const auto received = subscriber.receive(kDeliveryTimeout);
        ASSERT_TRUE(received) << "message of " << message.size() << " bytes not relayed";
        EXPECT_TRUE(*received == message) << "message of " << message.size() << " bytes changed";
    }
}

// Every port ever set stayed open on all interfaces.
TEST_F(PluginLibraryTest, ServicePortChangeLeftTheOldPortOpen)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    // Engine B must have found 9911 taken before engine A moves away from it.
    ASSERT_TRUE(s_engineB.handler->waitForEvents(2, kRelayStartTimeout));
    host::LogFile log;
    log.mark();
    const std::string bindLine = std::string(kPrefixA) + "threadFuncZeromqLoop bind tcp://*:"
        + std::to_string(kChangedPortA);

    const auto start = steady_clock::now();
    host::doSetSettings(s_engineA.engine.get(), host::Settings{
        {"ServicePort", std::to_string(kChangedPortA)}, {"LoopbackRelayEndpoint", kCopyEndpoint}});
    ASSERT_TRUE(waitForExactLine(log, bindLine, kDeliveryTimeout));
    reportMeasurement("new service port bound after the settings", elapsedMs(start));
    EXPECT_EQ(1, log.countLinesContaining(bindLine));
    EXPECT_EQ(1, log.countLinesContaining(std::string(kPrefixA) + "threadFuncZeromqLoop unbind "
        + "tcp://0.0.0.0:" + std::to_string(kPortA)));

    host::LoopbackSubscriber subscriber;
    host::AiEnginePublisher moved(kChangedPortA);
    connectThroughRelay(moved, subscriber);
    host::AiEnginePublisher old(kPortA);
    for (int i = 0; i < 10; ++i)
        (void) old.send("probe of the old port");
    EXPECT_FALSE(subscriber.receive(500ms)) << "the old port still relays";

    // A refused value leaves the service where it is.
    const auto refused = host::doSetSettings(s_engineA.engine.get(),
        host::Settings{{"ServicePort", "80"}, {"LoopbackRelayEndpoint", kCopyEndpoint}});
    EXPECT_EQ(1U, refused.errors.count("ServicePort"));
    connectThroughRelay(moved, subscriber);

    // Back to where the other tests expect it.
    host::doSetSettings(s_engineA.engine.get(), host::Settings{
        {"ServicePort", std::to_string(kPortA)}, {"LoopbackRelayEndpoint", kCopyEndpoint}});
    connectThroughRelay(old, subscriber);
}

TEST_F(PluginLibraryTest, SecondEngineReportsTakenEndpointsAndLivesOn)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    ASSERT_TRUE(s_engineB.engine);
    ASSERT_TRUE(s_engineB.handler->waitForEvents(2, kRelayStartTimeout));

    // The service port's failure comes from the receiver process, the loopback's from the
    // relay: in either order.
    auto events = s_engineB.handler->events();
    ASSERT_EQ(2U, events.size());
    if (events[0].caption != "Cannot listen for the AI engine")
        std::swap(events[0], events[1]);
    EXPECT_EQ(IPluginDiagnosticEvent::Level::error, events[0].level);
    EXPECT_EQ("Cannot listen for the AI engine", events[0].caption);
    EXPECT_EQ("tcp://*:9911: Address already in use", events[0].description);
    // Only the copy for outside watchers is missing: a notice, not an error.
    EXPECT_EQ(IPluginDiagnosticEvent::Level::info, events[1].level);
    EXPECT_EQ("Loopback relay unavailable", events[1].caption);
    EXPECT_EQ("tcp://127.0.0.1:688: Address already in use", events[1].description);
    // Its own endpoints were free: nothing is missing there.
    for (const auto& event: s_engineA.handler->events())
    {
        EXPECT_NE(IPluginDiagnosticEvent::Level::error, event.level) << event.caption;
        EXPECT_NE("Loopback relay unavailable", event.caption);
    }

    const host::LogFile log;
    const auto hasLine =
        [&](const std::string& expected)
        {
            for (const auto& line: log.lines())
            {
                if (line == expected)
                    return true;
            }
            return false;
        };
    EXPECT_EQ(1, log.countLinesContaining(std::string(kPrefixB)
        + "settingsReceived ServicePort \"abc\" refused: the value must be a whole number"));
    EXPECT_TRUE(hasLine(std::string(kPrefixB)
        + "threadFuncZeromqLoop bind tcp://*:9911 failed: Address already in use"));
    EXPECT_EQ(1, log.countLinesContaining(std::string(kPrefixB)
        + "threadFuncZeromqLoop bind tcp://127.0.0.1:688 failed: Address already in use"));
    // Engine A holds the copy: no failed bind there.
    EXPECT_EQ(0, log.countLinesContaining(
        std::string(kPrefixA) + "threadFuncZeromqLoop bind tcp://127.0.0.1:688"));
    EXPECT_EQ(1, log.countLinesContaining(
        std::string(kPrefixA) + "threadFuncZeromqLoop loopback relay tcp://127.0.0.1:688 open"));
    EXPECT_EQ(0,
        log.countLinesContaining(std::string(kPrefixB) + "threadFuncZeromqLoop terminated"));

    // Engine A still relays.
    host::LoopbackSubscriber subscriber;
    host::AiEnginePublisher publisher(kPortA);
    connectThroughRelay(publisher, subscriber);
}

TEST_F(PluginLibraryTest, LoopbackRelaySwitchedOffFreesPort688AndCamerasStillReceive)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    const auto deviceInfo = nx::sdk::makePtr<host::DeviceInfo>(std::string(kCameraId));
    const auto handler = nx::sdk::makePtr<host::DeviceAgentHandler>();
    auto agent = host::obtainDeviceAgent(s_engineA.engine.get(), deviceInfo.get()).object;
    ASSERT_TRUE(agent);
    agent->setHandler(handler.get());
    const auto frame = nx::sdk::makePtr<host::CompressedVideoPacket>(kFrameTimeUs);
    ASSERT_TRUE(host::doPushDataPacket(agent.get(), frame.get()).isOk());

    const auto setLoopbackRelay =
        [&](const char* value)
        {
            host::LogFile log;
            log.mark();
            // The service port stays what it is.
            ASSERT_TRUE(host::doSetSettings(s_engineA.engine.get(), host::Settings{
                {"ServicePort", std::to_string(kPortA)}, {"LoopbackRelay", value},
                {"LoopbackRelayEndpoint", kCopyEndpoint}}).isOk());
            ASSERT_TRUE(waitForExactLine(log, std::string(kPrefixA)
                + "settingsReceived m_loopbackRelay:" + (value == std::string("true") ? "1" : "0"),
                kDeliveryTimeout));
        };

    setLoopbackRelay("false");
    const host::LogFile log;
    ASSERT_TRUE(waitForExactLine(log, std::string(kPrefixA)
        + "threadFuncZeromqLoop loopback relay tcp://127.0.0.1:688 closed", kDeliveryTimeout));
    // ZeroMQ closes the listening socket on its I/O thread, just after the relay let go of it.
    const auto deadline = steady_clock::now() + kDeliveryTimeout;
    while (!canBindLoopbackPort688() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(canBindLoopbackPort688());

    host::AiEnginePublisher publisher(kPortA);
    EXPECT_TRUE(publisher.sendUntil(cameraAlarm("WithoutCopy"),
        [&]() { return handler->packetCount() > 0; }, kDeliveryTimeout));

    setLoopbackRelay("true");
    host::LoopbackSubscriber subscriber;
    connectThroughRelay(publisher, subscriber);
    EXPECT_FALSE(canBindLoopbackPort688());
}

TEST_F(PluginLibraryTest, EngineMakesADeviceAgentForAnyCamera)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    for (const char* deviceId: {host::DeviceInfo::kDefaultId, "x"})
    {
        SCOPED_TRACE(deviceId);
        const auto deviceInfo = nx::sdk::makePtr<host::DeviceInfo>(std::string(deviceId));
        EXPECT_TRUE(s_engineA.engine->isCompatible(deviceInfo.get()));
        const auto agent = host::obtainDeviceAgent(s_engineA.engine.get(), deviceInfo.get());
        EXPECT_TRUE(agent.isOk());
        ASSERT_TRUE(agent.object);
        EXPECT_TRUE(nx::sdk::queryInterface<IConsumingDeviceAgent>(agent.object));
    }
}

TEST_F(PluginLibraryTest, ReleasedEngineEndsItsRelayBeforeItIsDestroyed)
{
    ASSERT_NO_FATAL_FAILURE(ensureEngines());
    const host::LogFile log;
    const struct
    {
        EngineUnderTest* engine;
        const char* prefix;
        const char* measurement;
    } cases[] = {
        {&s_engineB, kPrefixB, "release of a running engine without endpoints"},
        {&s_engineA, kPrefixA, "release of a running engine that relays"},
    };

    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.prefix);
        const auto start = steady_clock::now();
        c.engine->engine = nullptr;
        const double releaseMs = elapsedMs(start);
        reportMeasurement(c.measurement, releaseMs);
        EXPECT_LT(releaseMs, 1000);
        EXPECT_EQ(1, c.engine->handler->refCount()); //< The engine let go of the handler.

        const auto lines = log.lines();
        std::optional<size_t> terminated;
        std::optional<size_t> destroyed;
        for (size_t i = 0; i < lines.size(); ++i)
        {
            if (lines[i] == std::string(c.prefix) + "threadFuncZeromqLoop terminated!!")
                terminated = i;
            if (lines[i].rfind(std::string(c.prefix) + "Destroyed ", 0) == 0)
                destroyed = i;
        }
        ASSERT_TRUE(terminated);
        ASSERT_TRUE(destroyed);
        EXPECT_LT(*terminated, *destroyed);
    }
}

TEST_F(PluginLibraryTest, EveryObjectIsDestroyedOnceAllIsReleased)
{
    s_engineA = {};
    s_engineB = {};
    s_plugin = nullptr;

    const auto stats = s_library->registryStats();
    ASSERT_TRUE(stats);
    EXPECT_TRUE(stats->waitUntilBalanced(5s)) << stats->alive() << " objects still alive";
    EXPECT_GT(stats->created(), 0);
    EXPECT_EQ(0, stats->anomalies());
    EXPECT_EQ(1, s_utilityProvider->refCount()); //< The plugin released the provider.
}

} // namespace
