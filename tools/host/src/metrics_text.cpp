#include "metrics_text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>

#include "health/metric_names.h"
#include "host_options.h"
#include "text_format.h"

namespace skyloom::host {

namespace {

bool isNameStart(char c, bool colonAllowed)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'
        || (colonAllowed && c == ':');
}

bool isNameChar(char c, bool colonAllowed)
{
    return isNameStart(c, colonAllowed) || (c >= '0' && c <= '9');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

/** Reads one line's tokens; every read either advances or leaves an error. */
class LineReader
{
public:
    explicit LineReader(const std::string& line): m_line(line) {}

    bool atEnd() const { return m_at >= m_line.size(); }
    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

    void fail(const std::string& text)
    {
        if (m_error.empty())
            m_error = text + " at column " + std::to_string(m_at + 1);
    }

    void skipBlanks()
    {
        while (!atEnd() && isBlank(m_line[m_at]))
            ++m_at;
    }

    bool peek(char c) const { return !atEnd() && m_line[m_at] == c; }

    bool take(char c)
    {
        if (!peek(c))
            return false;
        ++m_at;
        return true;
    }

    std::string name(bool colonAllowed, const char* what)
    {
        if (atEnd() || !isNameStart(m_line[m_at], colonAllowed))
        {
            fail(std::string("expected ") + what);
            return {};
        }
        const size_t begin = m_at;
        while (!atEnd() && isNameChar(m_line[m_at], colonAllowed))
            ++m_at;
        return m_line.substr(begin, m_at - begin);
    }

    /** A quoted label value: \\, \" and \n are its only escapes. */
    std::string quoted()
    {
        if (!take('"'))
        {
            fail("expected '\"'");
            return {};
        }
        std::string value;
        while (!atEnd() && m_line[m_at] != '"')
        {
            char c = m_line[m_at++];
            if (c == '\\')
            {
                const char escaped = atEnd() ? '\0' : m_line[m_at++];
                if (escaped == 'n')
                    c = '\n';
                else if (escaped == '\\' || escaped == '"')
                    c = escaped;
                else
                {
                    fail("bad escape in a label value");
                    return {};
                }
            }
            value += c;
        }
        if (!take('"'))
            fail("label value not closed");
        return value;
    }

    /** The next run of characters up to a blank or the end. */
    std::string word()
    {
        const size_t begin = m_at;
        while (!atEnd() && !isBlank(m_line[m_at]))
            ++m_at;
        return m_line.substr(begin, m_at - begin);
    }

    std::string rest() const { return atEnd() ? std::string() : m_line.substr(m_at); }

private:
    const std::string& m_line;
    size_t m_at = 0;
    std::string m_error;
};

/** A sample value: a decimal float, or NaN, +Inf, -Inf as the format writes them. */
bool parseValue(const std::string& text, double* outValue)
{
    if (text == "NaN")
        *outValue = std::numeric_limits<double>::quiet_NaN();
    else if (text == "+Inf" || text == "Inf")
        *outValue = std::numeric_limits<double>::infinity();
    else if (text == "-Inf")
        *outValue = -std::numeric_limits<double>::infinity();
    else
    {
        // strtod alone would also take hexadecimal numbers and "nan(...)".
        if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos)
            return false;
        errno = 0;
        char* end = nullptr;
        *outValue = std::strtod(text.c_str(), &end);
        return *end == '\0' && errno != ERANGE;
    }
    return true;
}

bool parseTimestamp(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789-") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0;
}

const std::set<std::string>& metricTypes()
{
    static const std::set<std::string> types{
        "counter", "gauge", "histogram", "summary", "untyped"};
    return types;
}

struct ParseState
{
    std::set<std::string> typedNames;
    std::set<std::string> helpedNames;
    std::set<std::string> sampledNames;
    std::set<std::string> series;
};

/** "# HELP name text" and "# TYPE name type"; other comments are free text. */
std::string checkComment(const std::string& line, ParseState* state)
{
    LineReader reader(line);
    reader.take('#');
    reader.skipBlanks();
    const std::string keyword = reader.word();
    if (keyword != "HELP" && keyword != "TYPE")
        return {};
    if (!reader.take(' ') && !reader.take('\t'))
        return {}; //< "# HELPFUL ..." and the like are plain comments.
    reader.skipBlanks();
    const std::string name = reader.name(/*colonAllowed*/ true, "a metric name");
    if (reader.failed())
        return reader.error();
    if (keyword == "HELP")
    {
        if (!state->helpedNames.insert(name).second)
            return "a second HELP line for " + name;
        const std::string text = reader.rest();
        for (size_t i = 0; i < text.size(); ++i)
        {
            if (text[i] == '\\' && (i + 1 >= text.size()
                || (text[i + 1] != '\\' && text[i + 1] != 'n')))
            {
                return "bad escape in the HELP text of " + name;
            }
            i += text[i] == '\\' ? 1 : 0;
        }
        return {};
    }
    reader.skipBlanks();
    const std::string type = reader.word();
    reader.skipBlanks();
    if (metricTypes().count(type) == 0 || !reader.atEnd())
        return "bad TYPE line for " + name;
    if (!state->typedNames.insert(name).second)
        return "a second TYPE line for " + name;
    if (state->sampledNames.count(name) != 0)
        return "the TYPE line of " + name + " comes after its samples";
    return {};
}

std::string parseSample(const std::string& line, ParseState* state, MetricSample* outSample)
{
    LineReader reader(line);
    reader.skipBlanks();
    outSample->name = reader.name(/*colonAllowed*/ true, "a metric name");
    const bool blankAfterName = reader.peek(' ') || reader.peek('\t');
    reader.skipBlanks();
    const bool labelled = reader.take('{');
    if (labelled)
    {
        std::set<std::string> labelNames;
        reader.skipBlanks();
        while (!reader.failed() && !reader.peek('}'))
        {
            std::string labelName = reader.name(/*colonAllowed*/ false, "a label name");
            reader.skipBlanks();
            if (!reader.failed() && !reader.take('='))
                reader.fail("expected '='");
            reader.skipBlanks();
            std::string value = reader.quoted();
            if (reader.failed())
                break;
            if (!labelNames.insert(labelName).second)
                return "the label " + labelName + " twice";
            outSample->labels.emplace_back(std::move(labelName), std::move(value));
            reader.skipBlanks();
            if (!reader.take(','))
                break;
            reader.skipBlanks();
        }
        if (!reader.failed() && !reader.take('}'))
            reader.fail("expected ',' or '}'");
    }
    if (reader.failed())
        return reader.error();
    if (!labelled && !blankAfterName)
        return "expected a blank before the value";
    reader.skipBlanks();
    const std::string value = reader.word();
    if (!parseValue(value, &outSample->value))
        return "bad value '" + value + "'";
    reader.skipBlanks();
    if (!reader.atEnd())
    {
        const std::string timestamp = reader.word();
        reader.skipBlanks();
        if (!parseTimestamp(timestamp) || !reader.atEnd())
            return "bad timestamp or text after the value";
    }

    std::string key = outSample->name;
    for (const auto& [labelName, labelValue]: outSample->labels)
    {
        // A separator no name holds, and values with their length: the key is unambiguous.
        key += "\n" + labelName + "=" + std::to_string(labelValue.size()) + ":" + labelValue;
    }
    if (!state->series.insert(key).second)
        return "a second sample of the same series of " + outSample->name;
    state->sampledNames.insert(outSample->name);
    return {};
}

} // namespace

const std::string* MetricSample::label(const std::string& labelName) const
{
    for (const auto& [name, value]: labels)
    {
        if (name == labelName)
            return &value;
    }
    return nullptr;
}

ParsedMetrics parseMetricsText(const std::string& text)
{
    ParsedMetrics result;
    if (!text.empty() && text.back() != '\n')
    {
        result.error = "the text does not end with a line feed (cut short?)";
        return result;
    }
    ParseState state;
    size_t lineNumber = 0;
    for (size_t begin = 0; begin < text.size();)
    {
        const size_t end = text.find('\n', begin);
        const std::string line = text.substr(begin, end - begin);
        begin = end + 1;
        ++lineNumber;

        std::string error;
        if (line.find_first_of(std::string("\r\0", 2)) != std::string::npos)
            error = "a carriage return or NUL byte";
        else if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        else if (line[line.find_first_not_of(" \t")] == '#')
            error = checkComment(line.substr(line.find_first_not_of(" \t")), &state);
        else
        {
            MetricSample sample;
            error = parseSample(line, &state, &sample);
            if (error.empty())
                result.samples.push_back(std::move(sample));
        }
        if (!error.empty())
        {
            result.samples.clear();
            result.error = "line " + std::to_string(lineNumber) + ": " + error;
            return result;
        }
    }
    return result;
}

namespace {

using namespace nx::vms_server_plugins::analytics::sample::metric_names;

/** Reads the known samples into the counters; an empty text when all were good. */
class CounterReader
{
public:
    std::string read(const MetricSample& sample)
    {
        const std::string& name = sample.name;
        if (name.rfind("skyloom_engine_", 0) == 0)
            return readEngine(sample);
        if (name.rfind("skyloom_camera_", 0) == 0)
            return readCamera(sample);
        return {};
    }

    PluginCounters counters;
    bool engineReceivedSeen = false;

private:
    std::string readEngine(const MetricSample& sample)
    {
        static const std::map<std::string, int64_t EngineCounts::*> fields{
            {kEngineReceived, &EngineCounts::received},
            {kEngineReceivedBytes, &EngineCounts::receivedBytes},
            {kEngineRelayed, &EngineCounts::relayed},
            {kEngineNoCamera, &EngineCounts::noCamera},
            {kEnginesConnected, &EngineCounts::aiEnginesConnected},
            {kEngineConnections, &EngineCounts::aiEngineConnections},
            {kEngineDisconnects, &EngineCounts::aiEngineDisconnects},
            {kEngineRefused, &EngineCounts::refusedPeers},
        };
        if (sample.name == kMetricsWritten && sample.labels.size() == engineLabels(sample))
        {
            if (!std::isfinite(sample.value) || sample.value < 0)
                return sample.name + " is not a time";
            counters.writtenS = sample.value;
            return {};
        }
        const auto field = fields.find(sample.name);
        if (field == fields.end())
            return {};
        // Refusals come by reason (a file of an earlier version has them in one sample).
        if (sample.name == kEngineRefused && sample.label("reason")
            && sample.labels.size() == 1 + engineLabels(sample))
        {
            int64_t count = 0;
            if (std::string error = whole(sample, &count); !error.empty())
                return error;
            counters.engine.refusedPeers += count;
            return {};
        }
        if (sample.labels.size() != engineLabels(sample))
            return sample.name + " has labels";
        engineReceivedSeen = engineReceivedSeen || sample.name == kEngineReceived;
        return whole(sample, &(counters.engine.*(field->second)));
    }

    std::string readCamera(const MetricSample& sample)
    {
        static const std::map<std::string, std::string> extraLabels{
            {kCameraReceived, ""},
            {kCameraConverted, ""},
            {kCameraPackets, "kind"},
            {kCameraLastMessage, ""},
            {kCameraDropped, "reason"},
            {kCameraEngineDelayMedian, ""},
            {kCameraEngineDelayP95, ""},
            {kCameraEngineDelayState, "state"},
            {kCameraNoEngineTime, ""},
            {kCameraOutsideHistory, ""},
        };
        const auto known = extraLabels.find(sample.name);
        if (known == extraLabels.end())
            return {};
        const std::string* camera = sample.label("camera");
        const std::string* extra = known->second.empty() ? nullptr : sample.label(known->second);
        if (!camera || (!known->second.empty() && !extra)
            || sample.labels.size() != (known->second.empty() ? 1U : 2U) + engineLabels(sample))
        {
            return sample.name + ": expected the labels camera"
                + (known->second.empty() ? "" : " and " + known->second);
        }
        CameraCounts& counts = counters.cameras[*camera];
        if (sample.name == kCameraLastMessage)
        {
            if (!std::isfinite(sample.value) || sample.value < 0)
                return sample.name + " is not a time";
            counts.lastMessageS = sample.value;
            return {};
        }
        if (sample.name == kCameraReceived)
            return whole(sample, &counts.received);
        if (sample.name == kCameraConverted)
            return whole(sample, &counts.converted);
        if (sample.name == kCameraDropped)
            return whole(sample, &counts.drops[*extra]);
        if (sample.name == kCameraNoEngineTime)
            return whole(sample, &counts.withoutEngineTime);
        if (sample.name == kCameraOutsideHistory)
            return whole(sample, &counts.outsideFrameHistory);
        if (sample.name == kCameraEngineDelayMedian)
            return seconds(sample, &counts.engineDelayMedianS);
        if (sample.name == kCameraEngineDelayP95)
            return seconds(sample, &counts.engineDelayP95S);
        if (sample.name == kCameraEngineDelayState)
        {
            if (sample.value == 1)
                counts.engineDelayState = *extra;
            return {};
        }
        if (*extra == "object")
            return whole(sample, &counts.objectPackets);
        if (*extra == "event")
            return whole(sample, &counts.eventPackets);
        return sample.name + ": unknown kind \"" + *extra + "\"";
    }

    static std::string seconds(const MetricSample& sample, std::optional<double>* outValue)
    {
        if (!std::isfinite(sample.value))
            return sample.name + " is not a number of seconds";
        *outValue = sample.value;
        return {};
    }

    /** The plugin names its engine on every sample (which files of several engines tell apart). */
    static size_t engineLabels(const MetricSample& sample)
    {
        return sample.label("engine") ? 1U : 0U;
    }

    static std::string whole(const MetricSample& sample, int64_t* outValue)
    {
        // 2^63 is exact in a double; anything from there on does not fit.
        if (!(sample.value >= 0 && sample.value < 9223372036854775808.0)
            || sample.value != std::floor(sample.value))
        {
            return sample.name + " is not a whole count";
        }
        *outValue = static_cast<int64_t>(sample.value);
        return {};
    }
};

/** Why there is no delay, for people; the state as the plugin names it. */
std::string delayStateText(const std::string& state)
{
    if (state == "other_clock")
        return "other_clock: the AI engine's frame times are on another clock than the video's";
    if (state == "no_engine_time")
        return "no_engine_time: no message of the last minute named its frame's time";
    if (state == "no_recent_message")
        return "no_recent_message: no message in the last minute";
    return state.empty() ? std::string("not told") : state;
}

std::string dropsText(const std::map<std::string, int64_t>& drops)
{
    std::string text;
    for (const auto& [reason, count]: drops)
    {
        if (count > 0)
            text += (text.empty() ? "" : ", ") + reason + " " + std::to_string(count);
    }
    return text.empty() ? "-" : text;
}

} // namespace

ReadCounters countersFromMetrics(const std::string& text)
{
    const ParsedMetrics parsed = parseMetricsText(text);
    if (!parsed.error.empty())
        return {std::nullopt, parsed.error};
    CounterReader reader;
    for (const MetricSample& sample: parsed.samples)
    {
        if (std::string error = reader.read(sample); !error.empty())
            return {std::nullopt, error};
    }
    if (!reader.engineReceivedSeen)
        return {std::nullopt, std::string("no ") + kEngineReceived + ": not the plugin's metrics"};
    return {std::move(reader.counters), {}};
}

std::string receivedText(const PluginCounters& counters, double nowS)
{
    std::string text = "the plugin had received " + std::to_string(counters.engine.received)
        + " messages by its metrics";
    if (!counters.writtenS)
        return text + " (of an unknown time)";
    // Rounded to the second; a file a moment "ahead" (clocks read apart) is of now.
    const double age = std::max(0.0, std::round(nowS - *counters.writtenS));
    return text + " of " + format("%.0f", age) + " s ago";
}

std::string countersText(const PluginCounters& counters, const std::vector<std::string>& cameraIds)
{
    std::string text = format("%-4s %8s %9s %8s %7s  %s\n", "cam", "received", "converted",
        "obj.pkts", "ev.pkts", "dropped by reason");
    for (size_t c = 0; c < cameraIds.size(); ++c)
    {
        const auto found = counters.cameras.find(unbracedCameraId(cameraIds[c]));
        const CameraCounts counts =
            found == counters.cameras.end() ? CameraCounts() : found->second;
        text += format("%-4zu %8lld %9lld %8lld %7lld  %s\n", c + 1,
            static_cast<long long>(counts.received), static_cast<long long>(counts.converted),
            static_cast<long long>(counts.objectPackets),
            static_cast<long long>(counts.eventPackets), dropsText(counts.drops).c_str());
    }
    for (size_t c = 0; c < cameraIds.size(); ++c)
    {
        const auto found = counters.cameras.find(unbracedCameraId(cameraIds[c]));
        if (found == counters.cameras.end())
            continue;
        const CameraCounts& counts = found->second;
        if (!counts.engineDelayMedianS && counts.withoutEngineTime == 0
            && counts.outsideFrameHistory == 0 && counts.engineDelayState != "other_clock")
        {
            continue;
        }
        const std::string delay = counts.engineDelayMedianS && counts.engineDelayP95S
            ? format("median %.0f ms, 95th percentile %.0f ms", *counts.engineDelayMedianS * 1000,
                *counts.engineDelayP95S * 1000)
            : "not measurable (" + delayStateText(counts.engineDelayState) + ")";
        text += format("cam %zu AI engine delay: %s; %lld messages without engine time, %lld "
            "outside the frame history\n", c + 1, delay.c_str(),
            static_cast<long long>(counts.withoutEngineTime),
            static_cast<long long>(counts.outsideFrameHistory));
    }
    const EngineCounts& engine = counters.engine;
    text += format("engine: %lld messages received (%lld bytes at the service port), %lld relayed, "
        "%lld for no camera; AI engines: %lld connected, %lld connections, %lld disconnects, "
        "%lld refused\n",
        static_cast<long long>(engine.received), static_cast<long long>(engine.receivedBytes),
        static_cast<long long>(engine.relayed),
        static_cast<long long>(engine.noCamera), static_cast<long long>(engine.aiEnginesConnected),
        static_cast<long long>(engine.aiEngineConnections),
        static_cast<long long>(engine.aiEngineDisconnects),
        static_cast<long long>(engine.refusedPeers));
    return text;
}

} // namespace skyloom::host
