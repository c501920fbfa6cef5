// The captions of every diagnostic event that the plugin raises for the server's operators: the
// texts that their alerts and the documentation name. Levels and descriptions are the raiser's.
//
// Threads: constants.
#pragma once

namespace nx::vms_server_plugins::analytics::sample {

// The service port.
constexpr const char* kListeningCaption = "Listening for the AI engine";
constexpr const char* kServicePortCaption = "Cannot listen for the AI engine";
constexpr const char* kEncryptionCaption = "AI engine encryption unavailable";
constexpr const char* kConnectedCaption = "AI engine connected";
constexpr const char* kDisconnectedCaption = "AI engine disconnected";
constexpr const char* kRefusedCaption = "AI engine refused";

// The receiver process.
constexpr const char* kReceiverRestartedCaption = "AI engine receiver restarted";
constexpr const char* kReceiverDyingCaption = "AI engine receiver keeps dying";
constexpr const char* kInProcessCaption = "AI engine receiver runs inside the server";
constexpr const char* kReceiverUserCaption = "AI engine receiver without its own user";

// The relay and the cameras.
constexpr const char* kAgentEndpointCaption = "Cannot open the internal relay endpoint";
constexpr const char* kLoopbackCaption = "Loopback relay unavailable";
constexpr const char* kNoCameraCaption = "Messages for no camera";
constexpr const char* kDropsCaption = "Messages dropped";

// The time of the packets.
constexpr const char* kSuggestedCorrectionCaption = "Suggested timestamp correction";
constexpr const char* kOtherClockCaption = "AI engine clock not on the video timeline";

/** Every caption above. */
inline constexpr const char* kEventCaptions[] = {
    kListeningCaption, kServicePortCaption, kEncryptionCaption, kConnectedCaption,
    kDisconnectedCaption, kRefusedCaption, kReceiverRestartedCaption, kReceiverDyingCaption,
    kInProcessCaption, kReceiverUserCaption, kAgentEndpointCaption, kLoopbackCaption,
    kNoCameraCaption, kDropsCaption, kSuggestedCorrectionCaption, kOtherClockCaption,
};

} // namespace nx::vms_server_plugins::analytics::sample
