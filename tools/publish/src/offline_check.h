// The offline check of skyloom-publish: each message goes through the plugin's own handling in
// this process (parse, nesting limit, camera check, conversion), as the agent of the camera
// that the message names would handle it after a video frame, with the settings model's
// defaults and the user's values on top. Each camera keeps its agent, so track caches and track
// ids carry over from message to message. What the agent would push is recorded; what it would
// leave out is read from the drops that its handling of the message returns.
//
// Threads: one thread at a time. The agents write no log file (their output is discarded).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <skyloom/testhost/records.h>

namespace skyloom::publish {

using CheckSettings = std::map<std::string, std::string>;

/** The device agent settings the server sends by default (its settings model's defaults). */
const CheckSettings& defaultAgentSettings();

struct CheckedMessage
{
    std::string cameraId; //< As the message names it, braces added: the device id.
    int cameraIndex = 0; //< 1-based, in the order the cameras were first named.
    std::vector<testhost::MetadataPacketRecord> packets;
    /** Why (part of) the message would be left out; one line each. Empty: nothing left out. */
    std::vector<std::string> drops;
    /**
     * The reason of each drop, as the camera's counters and the metrics' "reason" label name
     * it ("malformed"); "" for what no counter counts (a rule of the format, a message that
     * reaches no camera). As long as `drops`.
     */
    std::vector<std::string> dropReasons;
    /** What was changed on the way but not left out (texts cut). */
    std::vector<std::string> notes;

    bool dropped() const { return !drops.empty(); }

    void addDrop(std::string text, std::string reason = {})
    {
        drops.push_back(std::move(text));
        dropReasons.push_back(std::move(reason));
    }
};

class OfflineChecker
{
public:
    /** `settings`: every device agent setting by name, as the server would send them. */
    explicit OfflineChecker(CheckSettings settings);
    ~OfflineChecker();

    OfflineChecker(const OfflineChecker&) = delete;
    OfflineChecker& operator=(const OfflineChecker&) = delete;

    /**
     * One message that the envelope check found deliverable to `sourceId` (the "src_uuid"
     * text). Never throws for what the message holds.
     */
    [[nodiscard]] CheckedMessage check(const std::string& sourceId, const std::string& text);

    /** A settings problem found when the first agent was set up ("" when none). */
    const std::string& settingsProblem() const { return m_settingsProblem; }

private:
    struct Camera;
    Camera& cameraFor(const std::string& deviceId);

    CheckSettings m_settings;
    std::string m_settingsProblem;
    std::map<std::string, std::unique_ptr<Camera>> m_cameras;
};

} // namespace skyloom::publish
