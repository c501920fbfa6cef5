// Strings, string maps, settings responses, diagnostic events and the text forms of values.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/helpers/plugin_diagnostic_event.h>
#include <nx/sdk/helpers/settings_response.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/string_map.h>
#include <nx/sdk/helpers/to_string.h>
#include <nx/sdk/ptr.h>

#include "test_support.h"

namespace nx::sdk::test {
namespace {

class ValueHelpersTest: public SdkTest {};

TEST_F(ValueHelpersTest, StringTreatsNullAsEmpty)
{
    const auto string = makePtr<String>(static_cast<const char*>(nullptr));
    EXPECT_STREQ("", string->str());
    EXPECT_TRUE(string->empty());
    string->setString(std::string("ab\0c", 4));
    EXPECT_EQ(4, string->size());
    string->setString(static_cast<const char*>(nullptr));
    EXPECT_EQ(0, string->size());
}

TEST_F(ValueHelpersTest, StringMapIsOrderedByKeyAndBoundsChecked)
{
    const auto map = makePtr<StringMap>();
    map->setItem("b", "2");
    map->setItem("a", "1");
    map->setItem("B", "upper");
    map->setItem("a", "replaced");
    const IStringMap* const read = map.get();

    ASSERT_EQ(3, read->count());
    EXPECT_STREQ("B", read->key(0)); //< Byte-wise: upper case first.
    EXPECT_STREQ("a", read->key(1));
    EXPECT_STREQ("replaced", read->value(1));
    EXPECT_STREQ("b", read->key(2));
    for (const int32_t index: {-1, 3, 1000})
    {
        EXPECT_EQ(nullptr, read->key(index)) << index;
        EXPECT_EQ(nullptr, read->value(index)) << index;
    }
    EXPECT_EQ(nullptr, read->value("c"));
    EXPECT_EQ(nullptr, read->value("A"));
    EXPECT_EQ(nullptr, read->value(static_cast<const char*>(nullptr)));

    map->clear();
    EXPECT_EQ(0, read->count());
    EXPECT_EQ(nullptr, read->key(0));
}

TEST_F(ValueHelpersTest, StringMapReportsAndStoresAnEmptyKey)
{
    const auto map = makePtr<StringMap>();
    const LogCapture log;
    map->setItem("", "x");
    EXPECT_TRUE(log.contains("[string_map] ")) << log.text();
    EXPECT_TRUE(log.contains("(!key.empty())")) << log.text();
    EXPECT_STREQ("x", map->value(""));
}

TEST_F(ValueHelpersTest, SettingsResponseHandsOutNewReferences)
{
    const auto response = makePtr<SettingsResponse>();
    const ISettingsResponse* const read = response.get();
    EXPECT_EQ(nullptr, read->values());
    EXPECT_EQ(nullptr, read->errors());
    EXPECT_EQ(nullptr, read->model());

    response->setValue("k", "v");
    response->setError("e", "bad");
    response->setModel("{}");
    const Ptr<const IStringMap> values(read->values());
    const Ptr<const IStringMap> errors(read->errors());
    const Ptr<const IString> model(read->model());
    ASSERT_TRUE(values && errors && model);
    EXPECT_EQ(2, refCountOf(values.get()));
    EXPECT_EQ(1, values->count());
    EXPECT_STREQ("v", values->value("k"));
    EXPECT_STREQ("bad", errors->value("e"));
    EXPECT_STREQ("{}", model->str());

    response->setValue("k2", "v2");
    EXPECT_EQ(2, values->count()) << "setValue must reuse the held map";

    // A second model text leaves the model already handed out unchanged.
    response->setModel("[]");
    EXPECT_STREQ("{}", model->str());
    EXPECT_STREQ("[]", Ptr<const IString>(read->model())->str());

    const auto replacement = makePtr<StringMap>();
    response->setValues(replacement);
    response->setErrors(nullptr);
    EXPECT_EQ(replacement.get(), Ptr<const IStringMap>(read->values()).get());
    EXPECT_EQ(nullptr, read->errors());
    EXPECT_EQ(1, refCountOf(values.get()));
}

TEST_F(ValueHelpersTest, DiagnosticEventPrintsFiveQuotedLines)
{
    const auto event = makePtr<PluginDiagnosticEvent>(
        IPluginDiagnosticEvent::Level::warning, "C", "D");
    EXPECT_EQ(
        "{\n"
        "    \"level\": \"warning\",\n"
        "    \"caption\": \"C\",\n"
        "    \"description\": \"D\"\n"
        "}",
        event->toString());

    event->setLevel(IPluginDiagnosticEvent::Level::error);
    event->setCaption("say \"hi\"");
    event->setDescription("line\nbreak");
    EXPECT_EQ(
        "{\n"
        "    \"level\": \"error\",\n"
        "    \"caption\": \"say \\\"hi\\\"\",\n"
        "    \"description\": \"line\\nbreak\"\n"
        "}",
        event->toString());
    EXPECT_STREQ("say \"hi\"", event->caption());
}

TEST_F(ValueHelpersTest, LevelNames)
{
    using Level = IPluginDiagnosticEvent::Level;
    EXPECT_EQ("info", levelToString(Level::info));
    EXPECT_EQ("warning", levelToString(Level::warning));
    EXPECT_EQ("error", levelToString(Level::error));

    const LogCapture log;
    EXPECT_EQ("unknown(7)", levelToString(static_cast<Level>(7)));
    EXPECT_TRUE(log.contains("[plugin_diagnostic_event] ")) << log.text();
    EXPECT_TRUE(log.contains("(false)")) << log.text();
    EXPECT_EQ("unknown(-1)", levelToString(static_cast<Level>(-1)));
}

TEST_F(ValueHelpersTest, ErrorCodeNames)
{
    const std::vector<std::pair<int32_t, std::string>> cases = {
        {0, "noError"}, {-1, "unauthorized"}, {-21, "notImplemented"}, {-22, "networkError"},
        {-100, "otherError"}, {-1000, "internalError"}, {-1001, "invalidParams"},
        {-2, "<unsupported Error>"}, {1, "<unsupported Error>"}, {-1002, "<unsupported Error>"},
    };
    for (const auto& [value, name]: cases)
        EXPECT_EQ(name, toString(static_cast<ErrorCode>(value))) << value;
}

TEST_F(ValueHelpersTest, TextFormsOfStringsAndMaps)
{
    EXPECT_EQ("", toString(static_cast<const IString*>(nullptr)));
    EXPECT_EQ("a\"b", toString(makePtr<String>("a\"b").get()));

    const auto empty = makePtr<StringMap>();
    EXPECT_EQ("", toString(empty.get(), 2));
    EXPECT_EQ("", toString(static_cast<const IStringMap*>(nullptr)));
    EXPECT_EQ("  [\n  ]", toJsonString(empty.get(), 2));

    const auto map = makePtr<StringMap>();
    map->setItem("k\"1", "v\\1");
    map->setItem("k2", "");
    EXPECT_EQ(
        "  [\"k\\\"1\"]: \"v\\\\1\"\n"
        "  [\"k2\"]: \"\"\n",
        toString(map.get(), 2));
    EXPECT_EQ(
        "[\n"
        "    { \"name\": \"k\\\"1\", \"value\": \"v\\\\1\" },\n"
        "    { \"name\": \"k2\", \"value\": \"\" }\n"
        "]",
        toJsonString(map.get()));
    EXPECT_EQ(
        " [\n"
        "     { \"name\": \"k\\\"1\", \"value\": \"v\\\\1\" },\n"
        "     { \"name\": \"k2\", \"value\": \"\" }\n"
        " ]",
        toJsonString(map.get(), 1));

    const LogCapture log;
    EXPECT_EQ("[]\n", toJsonString(nullptr, 4));
    EXPECT_TRUE(log.contains("[to_string] ")) << log.text();
    EXPECT_TRUE(log.contains("(map)")) << log.text();
}

class FakeDeviceInfo: public RefCountable<IDeviceInfo>
{
public:
    virtual const char* id() const override { return "{ID}"; }
    virtual const char* vendor() const override { return "Vendor \"V\""; }
    virtual const char* model() const override { return "M"; }
    virtual const char* firmware() const override { return ""; }
    virtual const char* name() const override { return "N"; }
    virtual const char* url() const override { return "rtsp://u"; }
    virtual const char* login() const override { return "admin"; }
    virtual const char* password() const override { return "secret"; }
    virtual const char* sharedId() const override { return "S"; }
    virtual const char* logicalId() const override { return nullptr; }
    virtual int32_t channelNumber() const override { return -3; }
};

TEST_F(ValueHelpersTest, TextFormOfDeviceInfo)
{
    const auto info = makePtr<FakeDeviceInfo>();
    EXPECT_EQ(
        "  {\n"
        "      \"id\": \"{ID}\",\n"
        "      \"vendor\": \"Vendor \\\"V\\\"\",\n"
        "      \"model\": \"M\",\n"
        "      \"firmware\": \"\",\n"
        "      \"name\": \"N\",\n"
        "      \"url\": \"rtsp://u\",\n"
        "      \"login\": \"admin\",\n"
        "      \"password\": \"secret\",\n"
        "      \"channelNumber\": -3,\n"
        "      \"sharedId\": \"S\",\n"
        "      \"logicalId\": null\n"
        "  }",
        toString(info.get(), 2));
}

} // namespace
} // namespace nx::sdk::test
