// The ingress rules apart from ZeroMQ's handshakes: which addresses a setting admits, what is
// read from certificate files of both common layouts, and which messages a restricted AI engine
// may send.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.h>

#include "ingress/certificates.h"
#include "ingress/ingress_policy.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

/** The working directory (get_current_dir_name's copy freed). */
std::string currentDirectory()
{
    char* const directory = get_current_dir_name();
    const std::string result = directory ? directory : ".";
    std::free(directory);
    return result;
}

TEST(IngressPolicy, AddressRangesAdmitWhatTheySay)
{
    const struct { const char* ranges; const char* address; bool admitted; } rows[] = {
        {"10.0.0.5", "10.0.0.5", true},
        {"10.0.0.5", "10.0.0.6", false},
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"192.168.1.128/25", "192.168.1.127", false}, //< A prefix that ends inside a byte.
        {"192.168.1.128/25", "192.168.1.200", true},
        {"10.0.0.5", "::ffff:10.0.0.5", true}, //< An IPv6 socket's view of an IPv4 peer.
        {"::ffff:10.0.0.0/104", "10.1.2.3", true},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "2001:db8::1", false}, //< All of IPv4 is not IPv6.
        {" 10.0.0.1 , ,10.0.0.2 ", "10.0.0.2", true},
        {"10.0.0.5", "not an address", false},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(std::string(row.ranges) + " / " + row.address);
        std::string bad;
        const auto ranges = parseAddressRanges(row.ranges, &bad);
        ASSERT_TRUE(ranges) << bad;
        EXPECT_EQ(row.admitted, addressInRanges(*ranges, row.address));
    }
}

TEST(IngressPolicy, MalformedRangesAreRefused)
{
    for (const char* text: {"10.0.0.256", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8x", "fd00::/129",
        "eth0", "10.0.0.1,nonsense", "::ffff:10.0.0.0/95"})
    {
        std::string bad;
        EXPECT_FALSE(parseAddressRanges(text, &bad)) << text;
        EXPECT_FALSE(bad.empty()) << text;
    }
}

class Certificates: public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = currentDirectory() + "/certificates-"
            + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        mkdir(m_dir.c_str(), 0700);
        char publicKey[41] = {};
        char secretKey[41] = {};
        ASSERT_EQ(0, zmq_curve_keypair(publicKey, secretKey));
        m_public = publicKey;
        m_secret = secretKey;
    }

    std::string write(const std::string& name, const std::string& content)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::trunc) << content;
        return path;
    }

    std::string m_dir;
    std::string m_public;
    std::string m_secret;
};

TEST_F(Certificates, BothLayoutsAreReadAndSecretFilesSkipped)
{
    // Keys may hold '#' and '='; unquoted values run to the end of the line.
    const std::string curve = "curve\n    public-key = \"" + m_public + "\"\n";
    write("pyzmq.key", "#  comment\nmetadata\n    cameras = \"a-1, {b-2}\"\n" + curve);
    write("pyzmq.key_secret", curve + "    secret-key = \"" + m_secret + "\"\n");
    write("czmq", "metadata\ncurve\n    public-key = " + m_public + "\n");
    write("czmq_secret", "curve\n    secret-key = " + m_secret + "\n");
    write("broken.key", "curve\n    public-key = \"short\"\n");

    std::string error;
    const auto directory = readCertificateDirectory(m_dir, &error);
    ASSERT_TRUE(directory) << error;
    ASSERT_EQ(2U, directory->certificates.size());
    EXPECT_EQ(1U, directory->skipped); //< broken.key, with its reason.
    EXPECT_NE(std::string::npos, directory->firstSkipped.find("broken.key"));
    const PublicCertificate& czmq = directory->certificates[0];
    const PublicCertificate& pyzmq = directory->certificates[1];
    EXPECT_EQ("czmq", czmq.name);
    EXPECT_FALSE(czmq.cameras);
    EXPECT_EQ("pyzmq", pyzmq.name);
    EXPECT_EQ((std::set<std::string>{"a-1", "b-2"}),
        pyzmq.cameras.value_or(std::set<std::string>{}));
    EXPECT_EQ(pyzmq.publicKey, czmq.publicKey);
    EXPECT_EQ(32U, pyzmq.publicKey.size());

    const auto secret = readSecretCertificate(m_dir + "/pyzmq.key_secret", &error);
    ASSERT_TRUE(secret) << error;
    EXPECT_EQ(pyzmq.publicKey, secret->publicKey); //< Derived from the secret key.
    EXPECT_FALSE(readSecretCertificate(m_dir + "/pyzmq.key", &error)); //< No secret in it.
}

TEST_F(Certificates, DirectoryOfOtherFilesWroteALineForEach)
{
    std::string error;
    // The directory keeps an earlier run's pair.
    ASSERT_TRUE(writeCertificatePair(m_dir, "engine", &error, ExistingPair::replace)) << error;
    const std::string secretFile = m_dir + "/server.key_secret";
    write("server.key_secret",
        "curve\n    public-key = \"" + m_public + "\"\n    secret-key = \"" + m_secret + "\"\n");
    constexpr int kOtherFiles = 300;
    for (int i = 0; i < kOtherFiles; ++i)
        write("other-" + std::to_string(1000 + i) + ".txt", "not a certificate\n");

    const IngressPolicyResult result = makeIngressPolicy(
        IngressSettings{"", "", secretFile, m_dir}, IngressPolicy());
    EXPECT_TRUE(result.refused.empty());
    ASSERT_EQ(1U, result.notes.size());
    EXPECT_NE(std::string::npos, result.notes[0].find(std::to_string(kOtherFiles) + " files"))
        << result.notes[0];
    EXPECT_NE(std::string::npos, result.notes[0].find("other-1000.txt")) << result.notes[0];
    EXPECT_EQ(1U, result.policy->engineNames.count("engine"));
}

TEST_F(Certificates, WrittenPairIsReadBackWithAPrivateSecret)
{
    std::string error;
    // The directory keeps the pair of an earlier run.
    ASSERT_TRUE(writeCertificatePair(m_dir, "engine", &error, ExistingPair::replace)) << error;
    struct stat status{};
    ASSERT_EQ(0, stat((m_dir + "/engine.key_secret").c_str(), &status));
    EXPECT_EQ(0600U, status.st_mode & 0777U);
    const auto secret = readSecretCertificate(m_dir + "/engine.key_secret", &error);
    const auto certificate = readPublicCertificate(m_dir + "/engine.key", &error);
    ASSERT_TRUE(secret && certificate) << error;
    EXPECT_EQ(secret->publicKey, certificate->publicKey);
}

TEST(IngressPolicy, RestrictedEngineReachesOnlyItsCameras)
{
    IngressPolicy policy;
    policy.curve = true;
    policy.engineNames = {"restricted", "free"};
    policy.cameraRestrictions["restricted"] = {"cam-a"};
    const struct { const char* userId; const char* message; bool allowed; } rows[] = {
        {"restricted", R"({"src_uuid":"cam-a","type":"event"})", true},
        {"restricted", R"({"src_uuid":"cam-b","type":"event"})", false},
        {"restricted", R"({"src_uuid":"cam-ab"})", false}, //< A longer id is another camera.
        {"restricted", R"({"src_uuid":"cam)", false},
        {"restricted", R"( {"src_uuid":"cam-a"})", false}, //< Not the envelope's form.
        {"free", R"({"src_uuid":"cam-b"})", true},
        {"revoked", R"({"src_uuid":"cam-a"})", false},
        {nullptr, R"({"src_uuid":"cam-a"})", false},
    };
    for (const auto& row: rows)
    {
        EXPECT_EQ(row.allowed, cameraAllowed(policy, row.userId, row.message))
            << (row.userId ? row.userId : "(none)") << " " << row.message;
    }
    policy.curve = false; //< Without encryption there are no user ids to restrict.
    EXPECT_TRUE(cameraAllowed(policy, nullptr, R"({"src_uuid":"cam-b"})"));
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
