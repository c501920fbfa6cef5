// The library context's set-once rules, the exported functions and error().
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/helpers/lib_context.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/result.h>

#include "test_support.h"

namespace nx::sdk::test {
namespace {

class LibContextTest: public SdkTest {};

struct NameCase
{
    std::vector<const char*> names; //< Passed to setName() in turn.
    std::string expectedName;
    std::vector<std::string> expectedReports;
};

TEST_F(LibContextTest, NameIsSetOnceAndMustNotBeEmpty)
{
    const std::string kPrefix = "[nx::sdk::LibContext] ";
    const std::vector<NameCase> cases = {
        {{}, "unnamed_lib_context", {}},
        {{"a"}, "a", {}},
        {{"a", "b"}, "a",
            {kPrefix, "(m_name == kDefaultName) "
                "Attempt to change LibContext name from \"a\" to \"b\"."}},
        {{""}, "incorrectly_named_lib_context", {kPrefix, "(name[0] != '\\0')"}},
        {{nullptr}, "incorrectly_named_lib_context", {kPrefix, "(name)"}},
        {{"", "x"}, "incorrectly_named_lib_context",
            {"Attempt to change LibContext name from \"incorrectly_named_lib_context\" to \"x\"."}},
        {{"a\"b", nullptr}, "a\"b",
            {"Attempt to change LibContext name from \"a\\\"b\" to null."}},
    };
    for (const NameCase& testCase: cases)
    {
        SCOPED_TRACE(testCase.expectedName + " after " + std::to_string(testCase.names.size()));
        LibContext context;
        const LogCapture log;
        for (const char* name: testCase.names)
            context.setName(name);
        EXPECT_EQ(testCase.expectedName, context.name());
        for (const std::string& report: testCase.expectedReports)
            EXPECT_TRUE(log.contains(report)) << log.text();
        if (testCase.expectedReports.empty())
        {
            EXPECT_EQ("", log.text());
        }
    }
}

class DeletionFlagRegistry: public IRefCountableRegistry
{
public:
    explicit DeletionFlagRegistry(bool* deleted): m_deleted(deleted) {}
    virtual ~DeletionFlagRegistry() override { *m_deleted = true; }
    virtual void notifyCreated(IRefCountable*, int32_t) override {}
    virtual void notifyDestroyed(IRefCountable*, int32_t) override {}

private:
    bool* const m_deleted;
};

TEST_F(LibContextTest, RegistryIsTakenOnceAndDeletedWithTheContext)
{
    bool firstDeleted = false;
    bool secondDeleted = false;
    auto* const first = new DeletionFlagRegistry(&firstDeleted);
    const auto second = std::make_unique<DeletionFlagRegistry>(&secondDeleted);
    {
        LibContext context;
        EXPECT_EQ(nullptr, context.refCountableRegistry());
        context.setRefCountableRegistry(first);
        EXPECT_EQ(first, context.refCountableRegistry());

        const LogCapture log;
        context.setRefCountableRegistry(second.get());
        EXPECT_TRUE(log.contains("[nx::sdk::LibContext] ")) << log.text();
        EXPECT_TRUE(log.contains("LibContext refCountableRegistry has already been set."));
        EXPECT_EQ(first, context.refCountableRegistry());
        EXPECT_FALSE(firstDeleted);
    }
    EXPECT_TRUE(firstDeleted);
    EXPECT_FALSE(secondDeleted);
}

TEST_F(LibContextTest, ExportedFunctionsReachTheOneContext)
{
    EXPECT_EQ(static_cast<ILibContext*>(&libContext()), nxLibContext());
    EXPECT_EQ(&registry(), libContext().refCountableRegistry());
    EXPECT_STREQ("4.1.0 R9", nxSdkVersion());
}

TEST_F(LibContextTest, ObjectsAreReportedToTheContextsRegistry)
{
    const int createdBefore = registry().createdCount();
    const int destroyedBefore = registry().destroyedCount();
    {
        const auto string = makePtr<String>("x");
        EXPECT_EQ(createdBefore + 1, registry().createdCount());
        EXPECT_TRUE(registry().isLive(string.get()));
    }
    EXPECT_EQ(destroyedBefore + 1, registry().destroyedCount());
}

struct ErrorCase
{
    ErrorCode code;
    std::string message;
    std::string expectedReport; //< Empty: no report expected.
};

TEST_F(LibContextTest, ErrorReportsMisuseAndStillBuildsTheError)
{
    const std::vector<ErrorCase> cases = {
        {ErrorCode::otherError, "failed", ""},
        {ErrorCode::invalidParams, "bad", ""},
        {ErrorCode::noError, "x", "Error code must differ from `ErrorCode::noError`"},
        {ErrorCode::otherError, "", "Error message must not be empty"},
    };
    for (const ErrorCase& testCase: cases)
    {
        SCOPED_TRACE(testCase.message);
        const LogCapture log;
        const Result<int> result = error(testCase.code, testCase.message);
        EXPECT_EQ(testCase.code, result.error().errorCode());
        EXPECT_EQ(testCase.code == ErrorCode::noError, result.isOk());
        EXPECT_EQ(0, result.value());
        const IString* const message = result.error().errorMessage();
        ASSERT_NE(nullptr, message);
        EXPECT_EQ(testCase.message, message->str());
        EXPECT_EQ(1, refCountOf(message));
        message->releaseRef();

        if (testCase.expectedReport.empty())
        {
            EXPECT_EQ("", log.text());
            continue;
        }
        EXPECT_TRUE(log.contains("nx::sdk::error(): ")) << log.text();
        EXPECT_TRUE(log.contains(testCase.expectedReport)) << log.text();
        EXPECT_EQ(1, log.count("ASSERTION FAILED"));
    }
}

} // namespace
} // namespace nx::sdk::test
