// The words of the agent's log lines that tools, documentation and tests look for: each is
// written here once. A line is the owner's print prefix, an operation, then one of the texts.
#pragma once

namespace nx::vms_server_plugins::analytics::sample::log_texts {

// Operations.
constexpr const char* kReceiveLoop = "threadFuncZeromqProcess";
constexpr const char* kEventConversion = "generateEventMetadataPacket";
constexpr const char* kAlarmObjectsConversion = "generateObjectMetadataPacket";
constexpr const char* kDetectionsConversion = "generateObjectMetadataPacket_only";

// What happened.
constexpr const char* kException = " exception: ";
constexpr const char* kOtherCamera = " dropped: the message names another camera: ";
constexpr const char* kElementDropped = " dropped: ";
constexpr const char* kMessageCut = " cut: ";

} // namespace nx::vms_server_plugins::analytics::sample::log_texts
