// The tools as a user runs them: argument mistakes end with one line on standard error and
// exit status 2, never a crash; the publisher's --print shows exactly what it would send, its
// --check what the plugin would make of each message, and a real send counts what did not go.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <skyloom/testhost/test_ports.h>

#include "ingress/service_socket.h"
#include "process.h"

namespace skyloom::tools_test {
namespace {

const std::string kPublish = SKYLOOM_PUBLISH_BIN;
const std::string kHost = SKYLOOM_HOST_BIN;
const std::string kCapture = SKYLOOM_CAPTURE_BIN;

int lineCount(const std::string& text)
{
    int lines = 0;
    for (const char c: text)
        lines += c == '\n' ? 1 : 0;
    return lines;
}

struct Mistake
{
    std::vector<std::string> argv;
    const char* errorPart;
};

TEST(CommandLine, MistakesExitWithStatus2AndOneLine)
{
    std::ofstream("not-a-plugin.so") << "just text\n";
    std::ofstream("messages.jsonl") << "{\"src_uuid\":\"x\",\"event\":{}}\n";
    std::ofstream("bad-expectations.json") << R"([{"kind":"event","typeId":"a"},)"
        << R"({"kind":"event","typeId":5}])";
    const std::vector<Mistake> mistakes{
        {{kPublish, "--bogus"}, "unknown option --bogus"},
        {{kPublish, "missing.jsonl"}, "no such file or directory: missing.jsonl"},
        {{kPublish, "--port", "0"}, "bad port"},
        {{kPublish, "--port", "http"}, "bad port"},
        {{kPublish, "--rate", "0"}, "bad rate"},
        {{kPublish, "--wait-timeout", "0"}, "bad wait timeout"},
        {{kPublish, "--rate"}, "needs a value"},
        {{kPublish, "--camera", "a\"b", "messages.jsonl"}, "bad camera id"},
        {{kPublish, "/nonexistent/dir/x.jsonl"}, "no such file or directory"},
        {{kPublish, "--check", "--set", "showCounter"}, "bad setting 'showCounter'"},
        {{kPublish, "--pace", "recorded", "messages.jsonl"}, "messages.jsonl:1: no receive time"},
        {{kPublish, "--host", "no-such-host.invalid", "messages.jsonl"},
            "cannot resolve the host name 'no-such-host.invalid'"},
        {{kHost, "--bogus"}, "unknown option --bogus"},
        {{kHost, "--port", "65536"}, "bad port"},
        {{kHost, "missing.so"}, "no such plugin library: missing.so"},
        {{kHost, "not-a-plugin.so"}, "not-a-plugin.so is not a plugin"},
        {{kHost, kPublish}, "is not a plugin"},
        {{kHost, "--expect", "missing.json"}, "cannot read missing.json: No such file"},
        {{kHost, "--expect", "bad-expectations.json"},
            "bad-expectations.json: expectation 2 (of 2): \"typeId\": type must be string"},
        {{kHost, "--fps", "-3"}, "bad frame rate"},
        {{kCapture, "-q"}, "no output file"},
        {{kCapture, "--listen", "0", "x.jsonl"}, "bad port"},
        {{kCapture, "--count", "1.5", "x.jsonl"}, "bad count"},
        {{kCapture, "/nonexistent/dir/x.jsonl"}, "cannot write /nonexistent/dir/x.jsonl: No such"},
        {{kCapture, "--connect", "tcp://no-such-host.invalid:9911", "x.jsonl"},
            "cannot resolve the host name 'no-such-host.invalid'"},
    };
    for (const Mistake& mistake: mistakes)
    {
        const Finished finished = run(mistake.argv);
        const std::string what = mistake.argv[0].substr(mistake.argv[0].rfind('/') + 1) + " "
            + mistake.argv[1];
        EXPECT_EQ(finished.status, 2) << what << ": " << finished.err;
        EXPECT_EQ(lineCount(finished.err), 1) << what << ": " << finished.err;
        EXPECT_NE(finished.err.find(mistake.errorPart), std::string::npos)
            << what << ": " << finished.err;
        EXPECT_TRUE(finished.out.empty()) << what << ": " << finished.out;
    }
}

TEST(CommandLine, HelpAndVersionExitWithStatus0)
{
    for (const std::string& tool: {kPublish, kHost, kCapture})
    {
        const Finished finished = run({tool, "--help"});
        EXPECT_EQ(finished.status, 0);
        // "Usage:" is what help2man makes the manual page's SYNOPSIS of.
        EXPECT_EQ(finished.out.rfind("Usage: ", 0), 0U) << finished.out;
        const Finished version = run({tool, "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_NE(version.out.find(" " SKYLOOM_VERSION "\n"), std::string::npos) << version.out;
    }
}

TEST(PublishPrint, RewritesEachMessageForEachCamera)
{
    std::ofstream("dry.jsonl") << "{ \"src_uuid\" : \"old\", \"event\": {\"a\": 1} }\n"
        << "{\"meta\":{},\"src_uuid\":\"old\"}\n";
    const Finished finished = run({kPublish, "--print", "dry.jsonl", "--camera",
        "{8f120e8a-2ced-c84a-aa40-59a59f563488}", "--camera", "cam-2"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out,
        "{\"src_uuid\":\"8f120e8a-2ced-c84a-aa40-59a59f563488\", \"event\": {\"a\": 1} }\n"
        "{\"src_uuid\":\"cam-2\", \"event\": {\"a\": 1} }\n"
        "{\"src_uuid\":\"8f120e8a-2ced-c84a-aa40-59a59f563488\",\"meta\":{}}\n"
        "{\"src_uuid\":\"cam-2\",\"meta\":{}}\n");
}

TEST(PublishPrint, NamesEachUndeliverableMessageOnItsOwnLine)
{
    std::ofstream("mixed.jsonl") << "{\"src_uuid\":\"a\",\"event\":{}}\n"
        << "{ \"src_uuid\":\"a\",\"event\":{}}\n"
        << "{\"event\":{},\"src_uuid\":\"a\"}\n"
        << "[1]\n"
        << "{\"src_uuid\":\"a\"}\n"
        << "{\"src_uuid\":\"a\",\n";
    const Finished finished = run({kPublish, "--print", "mixed.jsonl"});
    EXPECT_EQ(finished.status, 1) << "a rejected message is a failure";
    EXPECT_EQ(finished.out, "{\"src_uuid\":\"a\",\"event\":{}}\n");
    EXPECT_EQ(lineCount(finished.err), 5) << finished.err;
    for (const char* part: {"mixed.jsonl:2: not sent: white space after the opening brace",
        "mixed.jsonl:3: not sent: \"src_uuid\" is not the first member",
        "mixed.jsonl:4: not sent: not a JSON object", "mixed.jsonl:5: not sent: neither",
        "mixed.jsonl:6: not sent: not valid JSON"})
    {
        EXPECT_NE(finished.err.find(part), std::string::npos) << part << "\n" << finished.err;
    }
}

TEST(PublishPrint, BuiltInSamplesAreSixDeliverableMessages)
{
    const Finished finished = run({kPublish, "--print", "--samples"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(lineCount(finished.out), 6);
    EXPECT_TRUE(finished.err.empty()) << finished.err;

    const Finished names = run({kPublish, "--list-samples"});
    EXPECT_EQ(names.out.find("01_meta_face\n"), 0U) << names.out;
    EXPECT_EQ(lineCount(names.out), 6);
}

TEST(PublishCheck, SaysPerMessageWhatThePluginWouldDropAndWhy)
{
    const std::string head = "{\"src_uuid\":\"cam-1\",";
    const std::string alarm = head + "\"caption\":\"LPR\",\"description\":\"d\",\"source\":\"lpr\","
        "\"event\":{\"object_list\":[{\"class\":\"lp\",\"bbox\":{\"x0\":0.1,\"y0\":0.1,"
        "\"x1\":0.3,\"y1\":0.4},";
    struct Row
    {
        std::string message;
        const char* outputPart; //< In the lines of this message.
    };
    const std::vector<Row> rows{
        {alarm + "\"tid\":7,\"lp_text\":\"AB12\"}]}}", "plate=\"AB12\""},
        {alarm + "\"tid\":\"7\"}]}}", "dropped: generateObjectMetadataPacket exception: "
            "object_list[0] dropped: \"event\".\"object_list\"[0].\"tid\" must be a whole "
            "number, but is a text"},
        {head + "\"event\":{\"object_list\":[]}}",
            "dropped: generateEventMetadataPacket: no event"},
        {head + "\"meta\":" + std::string(70, '[') + std::string(70, ']') + "}",
            "nested deeper than 64 levels"},
        {head + "\"x\":1,\"src_uuid\":\"cam-2\",\"meta\":{}}",
            "the message names another camera"},
        {"{ " + head.substr(1) + "\"meta\":{}}", "never delivered to a camera: white space"},
        // The alarm above taught the track cache: the detection of track 7 is shown and
        // labelled, although detections of unalarmed tracks are not (enableMetadata=false).
        {head + "\"meta\":{\"metadata\":{\"annotations\":[{\"track_id\":7,\"class\":\"lp\","
            "\"lp_text\":\"AB12\",\"bbox\":[0.1,0.1,0.2,0.2]},{\"track_id\":8,\"class\":\"car\","
            "\"bbox\":[0.5,0.5,0.6,0.6]}]}}}", "lp track"},
    };
    std::ofstream file("check.jsonl");
    for (const Row& row: rows)
        file << row.message << "\n";
    file.close();

    std::remove("log_skyloom_0.log");
    const Finished finished = run({kPublish, "--check", "check.jsonl"});
    EXPECT_EQ(finished.status, 1) << "a message would be dropped";
    EXPECT_FALSE(std::ifstream("log_skyloom_0.log").good())
        << "the check must not rotate or write the log files of a server in this directory";
    for (size_t i = 0; i < rows.size(); ++i)
    {
        const std::string start = "check.jsonl:" + std::to_string(i + 1) + ": ";
        const size_t begin = finished.out.find(start);
        ASSERT_NE(begin, std::string::npos) << start << "\n" << finished.out;
        const size_t end = finished.out.find("check.jsonl:" + std::to_string(i + 2) + ": ");
        const std::string lines = finished.out.substr(begin, end - begin);
        EXPECT_NE(lines.find(rows[i].outputPart), std::string::npos) << lines;
        EXPECT_EQ(lines.find("DROPPED") != std::string::npos, i != 0 && i != 6) << lines;
    }
    EXPECT_EQ(finished.out.find("car track"), std::string::npos) << finished.out;
    EXPECT_NE(finished.out.find("checked 7 messages, 5 would be dropped"), std::string::npos)
        << finished.out;

    const Finished samples =
        run({kPublish, "--dry-run", "--samples", "--set", "enableMetadata=true"});
    EXPECT_EQ(samples.status, 0) << samples.out;
    EXPECT_NE(samples.out.find("checked 6 messages, 0 would be dropped"), std::string::npos)
        << samples.out;
    EXPECT_NE(samples.out.find("enableMetadata=true"), std::string::npos) << samples.out;
}

// --check --json gave each drop as a sentence only: a program that counts by reason, as the
// plugin's metrics do, had to match texts.
TEST(PublishCheck, JsonGivesEachDropsReasonAsTheMetricsLabelIt)
{
    const std::string head = "{\"src_uuid\":\"cam-1\",";
    const std::string annotation = head + "\"meta\":{\"metadata\":{\"annotations\":[";
    struct Row
    {
        std::string message;
        nlohmann::json reasons;
    };
    const std::vector<Row> rows{
        {annotation + "{\"track_id\":7,\"class\":\"car\",\"bbox\":[0,0,1,1]}]}}}",
            nlohmann::json::array()},
        {head + "\"meta\":", {"not_json"}},
        {head + "\"meta\":" + std::string(70, '[') + std::string(70, ']') + "}", {"too_deep"}},
        {annotation + "{\"track_id\":\"7\",\"class\":\"car\",\"bbox\":[0,0,1,1]}]}}}",
            {"malformed"}},
        {head + "\"x\":1,\"src_uuid\":\"cam-2\",\"meta\":{}}", {"other_camera"}},
        {head + "\"event\":{\"object_list\":[]}}", {nullptr}}, //< a rule, not counted
        {"{ " + head.substr(1) + "\"meta\":{}}", {nullptr}}, //< reaches no camera
    };
    std::ofstream file("reasons.jsonl");
    for (const Row& row: rows)
        file << row.message << "\n";
    file.close();

    const Finished finished = run({kPublish, "--check", "--json", "reasons.jsonl"});
    EXPECT_EQ(finished.status, 1);
    std::istringstream lines(finished.out);
    std::string line;
    for (const Row& row: rows)
    {
        ASSERT_TRUE(std::getline(lines, line)) << finished.out;
        const nlohmann::json checked = nlohmann::json::parse(line);
        EXPECT_EQ(checked["dropReasons"], row.reasons) << line;
        EXPECT_EQ(checked["dropReasons"].size(), checked["drops"].size()) << line;
    }
}

TEST(PublishCheck, EveryDropIsExplainedAlsoBeyondTheLogsRate)
{
    // The camera's log writes 5 lines of a kind a minute; the check must not inherit that.
    std::ofstream file("rate.jsonl");
    for (int i = 0; i < 8; ++i)
    {
        file << "{\"src_uuid\":\"cam-1\",\"meta\":{\"metadata\":{\"annotations\":["
            "{\"track_id\":\"7\",\"class\":\"car\",\"bbox\":[0,0,1,1]}]}}}\n";
    }
    file.close();
    const Finished finished = run({kPublish, "--check", "-q", "rate.jsonl"});
    EXPECT_EQ(finished.status, 1);
    size_t reasons = 0;
    const std::string reason = "\"track_id\" must be a whole number, but is a text";
    for (size_t at = finished.out.find(reason); at != std::string::npos;
        at = finished.out.find(reason, at + 1))
    {
        ++reasons;
    }
    EXPECT_EQ(reasons, 8U) << finished.out;
}

// `echo MSG | skyloom-publish --check` checked the six built-in samples instead of MSG and said
// "0 would be dropped"; "-" was looked for as a file.
TEST(PublishSource, PipedInputWasReplacedByTheBuiltInSamples)
{
    const std::string message =
        "{\"src_uuid\":\"cam-1\",\"meta\":{\"metadata\":{\"annotations\":[]}}}\n";
    std::ofstream("piped.jsonl") << message << message;
    struct Row
    {
        std::vector<std::string> argv;
        const char* input;
        int status;
        const char* outputPart;
    };
    const std::vector<Row> rows{
        {{kPublish, "--check"}, "piped.jsonl", 0, "checked 2 messages, 0 would be dropped"},
        {{kPublish, "--check", "-"}, "piped.jsonl", 0, "stdin:2: ok"},
        {{kPublish, "--print", "--", "-"}, "piped.jsonl", 0, message.c_str()},
        {{kPublish, "--print", "--samples"}, "piped.jsonl", 0, "\"src_uuid\":\"8f120e8a-"},
        {{kPublish, "--print"}, "/dev/null", 2, "stdin holds no messages"},
    };
    for (const Row& row: rows)
    {
        const Finished finished = run(row.argv, std::chrono::seconds(30), row.input);
        const std::string what = row.argv[1] + " " + row.argv.back() + " < " + row.input;
        EXPECT_EQ(finished.status, row.status) << what << "\n" << finished.err;
        EXPECT_NE((finished.out + finished.err).find(row.outputPart), std::string::npos)
            << what << "\n" << finished.out << finished.err;
    }
}

// A message over the service port's limit passed --check and was reported as sent, while the
// plugin closed the connection that carried it.
TEST(PublishCheck, MessageOverThePluginsLimitPassedAndWasSent)
{
    using nx::vms_server_plugins::analytics::sample::ServiceSocket;
    const std::string head =
        "{\"src_uuid\":\"cam-1\",\"meta\":{\"metadata\":{\"annotations\":[]}},\"pad\":\"";
    const auto message = [&](int64_t size)
        { return head + std::string(static_cast<size_t>(size) - head.size() - 2, 'x') + "\"}"; };
    std::ofstream("limit.jsonl") << message(ServiceSocket::kMaxMessageSize) << "\n"
        << message(ServiceSocket::kMaxMessageSize + 1) << "\n";

    const Finished check = run({kPublish, "--check", "limit.jsonl"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("limit.jsonl:1: ok"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("limit.jsonl:2: DROPPED, 0 packets\n  dropped: too large"),
        std::string::npos) << check.out;

    const Finished send = run({kPublish, "--no-check", "--print", "limit.jsonl"});
    EXPECT_EQ(send.status, 1);
    EXPECT_EQ(lineCount(send.out), 1) << "only the message within the limit goes";
    EXPECT_NE(send.err.find("limit.jsonl:2: not sent: too large"), std::string::npos) << send.err;
}

// --make-certificate replaced an existing key pair without a word, and told to give the server's
// public key "to the server".
TEST(PublishCertificate, MakeCertificateOverwroteAnExistingPair)
{
    std::filesystem::remove_all("keys");
    std::filesystem::create_directory("keys");
    const Finished made = run({kPublish, "--make-certificate", "server", "keys"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("keys/server.key: the public key. Of the server's pair: copy it to "
        "each AI engine"), std::string::npos) << made.out;
    EXPECT_NE(made.out.find("keys/server.key_secret: the secret key (mode 0600); it never leaves "
        "this machine"), std::string::npos) << made.out;
    EXPECT_EQ(std::filesystem::status("keys/server.key_secret").permissions()
        & std::filesystem::perms::all, std::filesystem::perms::owner_read
        | std::filesystem::perms::owner_write);
    const std::string secret = readFile("keys/server.key_secret");

    const Finished again = run({kPublish, "--make-certificate", "server", "keys"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("keys/server.key exists: nothing written"), std::string::npos)
        << again.err;
    EXPECT_EQ(readFile("keys/server.key_secret"), secret);

    const Finished replaced = run({kPublish, "--make-certificate", "server", "keys", "--replace"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(readFile("keys/server.key_secret"), secret);
    EXPECT_EQ(run({kPublish, "--make-certificate", "server"}).status, 2);
}

// Ctrl-C or SIGTERM ended a capture with "Interrupted system call", exit status 1 and no report.
TEST(Capture, EndedByASignalWithInterruptedSystemCall)
{
    for (const int signal: {SIGINT, SIGTERM})
    {
        const std::string port = testhost::testPortText(signal == SIGINT ? 0 : 1);
        const pid_t capture = spawn({kCapture, "--listen", port, "-q", "signal.jsonl"},
            "capture.out", "capture.err");
        EXPECT_EQ(run({kPublish, "--port", port, "--samples", "--count", "1", "--quiet"}).status,
            0);
        // Recorded before the signal: the status tells what was recorded.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (lineCount(readFile("signal.jsonl")) == 0
            && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(capture, signal);
        EXPECT_EQ(waitFor(capture, std::chrono::seconds(10)), 0) << readFile("capture.err");
        EXPECT_NE(readFile("capture.err").find("skyloom-capture: recorded 1 message ("),
            std::string::npos) << readFile("capture.err");
        EXPECT_EQ(lineCount(readFile("signal.jsonl")), 1);
    }
}

/**
 * A publisher of forged messages at an ipc endpoint: whoever subscribes there is sent a burst of
 * them at once (XPUB tells it of each subscription), until the forger is destroyed.
 */
class Forger
{
public:
    explicit Forger(const std::string& endpoint)
    {
        m_socket.set(zmq::sockopt::linger, 0);
        m_socket.bind(endpoint);
        m_thread = std::thread([this]() { answerSubscriptions(); });
    }

    ~Forger()
    {
        m_stopped = true;
        m_thread.join();
    }

private:
    static constexpr int kBurst = 64;

    void answerSubscriptions()
    {
        zmq::pollitem_t item{m_socket.handle(), 0, ZMQ_POLLIN, 0};
        while (!m_stopped)
        {
            // The timeout only lets the thread see m_stopped; a subscription ends the wait.
            if (zmq::poll(&item, 1, std::chrono::milliseconds(100)) <= 0)
                continue;
            zmq::message_t subscription;
            if (!m_socket.recv(subscription, zmq::recv_flags::dontwait)
                || subscription.size() == 0 || subscription.data<char>()[0] != 1)
            {
                continue;
            }
            for (int i = 0; i < kBurst; ++i)
            {
                (void) m_socket.send(zmq::str_buffer(
                    R"({"src_uuid":"forged","event":{"typeId":"forged"}})"),
                    zmq::send_flags::dontwait);
            }
        }
    }

    zmq::context_t m_context;
    zmq::socket_t m_socket{m_context, zmq::socket_type::xpub};
    std::atomic<bool> m_stopped{false};
    std::thread m_thread;
};

// A symbolic link planted where the private copy belongs, to another user's publisher, once
// made skyloom-capture record 51 forged messages. It is refused with exit status 3 before
// anything connects, whether found in the server directory or named with --connect.
TEST(Capture, RefusesAPlantedLinkAndRecordsNothing)
{
    namespace fs = std::filesystem;
    const fs::path server = fs::current_path() / "planted_server";
    const fs::path copy = server / "skyloom_diagnostic_copy";
    fs::remove_all(server);
    fs::create_directories(server / "forger");
    const Forger forger("ipc://" + (server / "forger" / "1a2b3c4d.ipc").string());
    const struct
    {
        const char* name;
        void (*plant)(const fs::path& server, const fs::path& copy);
        std::vector<std::string> source;
        const char* errorPart;
    } rows[] = {
        {"the directory", [](const fs::path& server, const fs::path& copy)
            { fs::create_directory_symlink(server / "forger", copy); },
            {"--server-dir", server.string()},
            "skyloom_diagnostic_copy: it is a symbolic link (to "},
        {"the socket, named with --connect", [](const fs::path& server, const fs::path& copy)
            {
                fs::create_directory(copy);
                fs::permissions(copy, fs::perms::owner_all);
                fs::create_symlink(server / "forger" / "1a2b3c4d.ipc", copy / "1a2b3c4d.ipc");
            },
            {"--connect", "ipc://" + (copy / "1a2b3c4d.ipc").string()},
            "1a2b3c4d.ipc: it is a symbolic link (to "},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        fs::remove_all(copy);
        row.plant(server, copy);
        std::vector<std::string> argv{kCapture, "--count", "1", "--duration", "10", "-q"};
        argv.insert(argv.end(), row.source.begin(), row.source.end());
        argv.push_back("forged.jsonl");

        const Finished refused = run(argv);

        EXPECT_EQ(refused.status, 3) << refused.err;
        EXPECT_EQ(lineCount(refused.err), 1) << refused.err;
        EXPECT_NE(refused.err.find("skyloom-capture: refusing "), std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find(row.errorPart), std::string::npos) << refused.err;
        EXPECT_EQ(readFile("forged.jsonl"), "");
    }
    fs::remove_all(server);
}

/**
 * A subscriber of the test on a free loopback port. It never reads a message, but its thread
 * keeps asking the socket for its state: a socket attaches a new connection, and sends its
 * subscriptions there, only when its owner calls it.
 */
class Subscriber
{
public:
    explicit Subscriber(std::function<void(zmq::socket_t&)> setUp)
    {
        m_thread = std::thread([this, setUp]() { run(setUp); });
        try
        {
            m_port = m_bound.get_future().get();
        }
        catch (...)
        {
            m_thread.join();
            throw;
        }
    }

    ~Subscriber()
    {
        m_stopped = true;
        m_thread.join();
    }

    const std::string& port() const { return m_port; }

private:
    void run(const std::function<void(zmq::socket_t&)>& setUp)
    {
        try
        {
            zmq::socket_t socket(m_context, zmq::socket_type::sub);
            socket.set(zmq::sockopt::linger, 0);
            setUp(socket);
            socket.set(zmq::sockopt::subscribe, "");
            socket.bind("tcp://127.0.0.1:*");
            const std::string endpoint = socket.get(zmq::sockopt::last_endpoint);
            m_bound.set_value(endpoint.substr(endpoint.rfind(':') + 1));
            while (!m_stopped)
            {
                (void) socket.get(zmq::sockopt::events);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        catch (...)
        {
            try
            {
                m_bound.set_exception(std::current_exception()); //< Fails once bound.
            }
            catch (...)
            {
            }
        }
    }

private:
    zmq::context_t m_context;
    std::promise<std::string> m_bound;
    std::atomic<bool> m_stopped{false};
    std::string m_port;
    std::thread m_thread;
};

// The publisher once reported success when nothing listened or its handshake was refused: its
// messages were dropped unseen. Without the plugin's subscription it must send nothing and fail.
TEST(Publish, FailsWhenNoSubscriptionComes)
{
    // A CurveZMQ listener refuses a plain publisher at the handshake: connected, never subscribed.
    char publicKey[41];
    char secretKey[41];
    ASSERT_EQ(zmq_curve_keypair(publicKey, secretKey), 0);
    const Subscriber curve([&](zmq::socket_t& socket)
        {
            socket.set(zmq::sockopt::curve_server, 1);
            socket.set(zmq::sockopt::curve_secretkey, std::string(secretKey));
        });
    std::string nothingListening;
    {
        const Subscriber closed([](zmq::socket_t&) {});
        nothingListening = closed.port(); //< Free again once it has gone.
    }

    for (const std::string& port: {nothingListening, curve.port()})
    {
        const Finished finished =
            run({kPublish, "--port", port, "--wait-timeout", "0.5", "--quiet", "--samples"});
        EXPECT_EQ(finished.status, 1) << port;
        EXPECT_NE(finished.err.find("not admitted or nothing listening at tcp://127.0.0.1:"
            + port), std::string::npos) << finished.err;
        EXPECT_EQ(finished.out.find("sent "), std::string::npos) << finished.out;
    }
}

TEST(Publish, CountsWhatAFullQueueRefusedAndSucceedsWithTheRest)
{
    // Subscribed, but never reading, with the smallest queue and socket buffer: the publisher's
    // own queue (1000 messages) and the kernel's buffers fill, and then sends fail.
    const Subscriber stuck([](zmq::socket_t& socket)
        {
            socket.set(zmq::sockopt::rcvhwm, 1);
            socket.set(zmq::sockopt::rcvbuf, 4096);
        });
    std::ofstream("large.jsonl") << "{\"src_uuid\":\"cam-1\",\"meta\":{},\"pad\":\""
        << std::string(16 * 1024, 'x') << "\"}\n";
    const Finished finished = run({kPublish, "--port", stuck.port(), "--loop", "--count", "3000",
        "--rate", "100000", "--quiet", "large.jsonl"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    long long sent = 0;
    long long notSent = 0;
    const size_t at = finished.out.find("skyloom-publish: sent ");
    ASSERT_NE(at, std::string::npos) << finished.out;
    ASSERT_EQ(std::sscanf(finished.out.c_str() + at, "skyloom-publish: sent %lld messages (%lld "
        "not sent)", &sent, &notSent), 2) << finished.out;
    EXPECT_GT(sent, 0);
    EXPECT_GT(notSent, 0);
    EXPECT_EQ(sent + notSent, 3000);
}

// --no-check sent a message that reaches no camera with the line "sent #2 to  (FILE:2)": no
// camera, and no word of why there was none.
TEST(Publish, NoCheckNamedAnEmptyCamera)
{
    const Subscriber plugin([](zmq::socket_t&) {});
    std::ofstream("unchecked.jsonl") << "{\"src_uuid\":\"cam-1\",\"meta\":{}}\n"
        << "{\"meta\":{},\"src_uuid\":\"cam-1\"}\n";
    const Finished finished =
        run({kPublish, "--port", plugin.port(), "--no-check", "unchecked.jsonl"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_NE(finished.out.find(" sent #1 to cam-1 (unchecked.jsonl:1)\n"), std::string::npos)
        << finished.out;
    EXPECT_NE(finished.out.find(" sent #2 to no camera (\"src_uuid\" is not the first member"),
        std::string::npos) << finished.out;
    EXPECT_EQ(finished.out.find(" to  ("), std::string::npos) << finished.out;
}

/** Reads `lines` lines of the child's output, then closes it as `| head` does. */
void headThenClose(int outRead, int lines)
{
    for (int i = 0; i < lines; ++i)
        EXPECT_FALSE(readLine(outRead).empty()) << "line " << i + 1;
    close(outRead);
}

// `skyloom-publish ... | head -2` died of SIGPIPE without its last line. A closed output ends
// the run as Ctrl-C does: the last line on standard error, the status of what was sent.
TEST(ClosedOutput, PublishEndsWithItsLastLineOnStandardError)
{
    const Subscriber plugin([](zmq::socket_t&) {});
    int out = -1;
    const pid_t publish = spawnPiped(
        {kPublish, "--port", plugin.port(), "--samples", "--loop", "--rate", "50"},
        "headed-publish.err", &out);
    headThenClose(out, 2);
    EXPECT_EQ(waitFor(publish, std::chrono::seconds(10)), 0) << readFile("headed-publish.err");
    EXPECT_NE(readFile("headed-publish.err").find("skyloom-publish: sent "), std::string::npos)
        << readFile("headed-publish.err");

    // --check stops checking: nobody reads the verdicts.
    std::ofstream file("many.jsonl");
    for (int i = 0; i < 20000; ++i)
        file << "{\"src_uuid\":\"cam-1\",\"meta\":{\"metadata\":{\"annotations\":[]}}}\n";
    file.close();
    const pid_t check = spawnPiped({kPublish, "--check", "many.jsonl"}, "headed-check.err", &out);
    headThenClose(out, 2);
    EXPECT_EQ(waitFor(check, std::chrono::seconds(20)), 0) << readFile("headed-check.err");
    const std::string err = readFile("headed-check.err");
    EXPECT_NE(err.find("skyloom-publish: checked "), std::string::npos) << err;
    EXPECT_EQ(err.find("checked 20000 messages"), std::string::npos) << err;
}

TEST(ClosedOutput, CaptureToStandardOutputEndsWithItsReport)
{
    const std::string port = testhost::testPortText(2);
    int out = -1;
    const pid_t capture = spawnPiped({kCapture, "--listen", port, "-"}, "stdout-capture.err", &out);
    const pid_t publish = spawn({kPublish, "--port", port, "--samples", "--loop", "--rate", "50",
        "-q"}, "sender.out", "sender.err");
    headThenClose(out, 2);
    EXPECT_EQ(waitFor(capture, std::chrono::seconds(10)), 0) << readFile("stdout-capture.err");
    ::kill(publish, SIGTERM);
    EXPECT_EQ(waitFor(publish, std::chrono::seconds(10)), 0) << readFile("sender.err");
    const std::string err = readFile("stdout-capture.err");
    EXPECT_NE(err.find("skyloom-capture: recorded "), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot write"), std::string::npos) << err;
}

} // namespace
} // namespace skyloom::tools_test
