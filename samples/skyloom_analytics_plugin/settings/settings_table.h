// Every setting of the engine and of each camera, one row each: the settings model that shows it,
// its group there, its control, name, caption, default and range, and for a camera setting the
// value that the agent works with until the server delivers the first settings. Both settings
// models are written from these rows (settings_model.h); every reader of a setting names it by
// its row (setting::kServicePort.name) and takes its default from there. A new setting is one
// row and its place in kSettings. Constants only; any thread.
#pragma once

#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

/** The settings model that shows a setting: the engine's (plugin manifest) or each camera's. */
enum class SettingsModel { engine, deviceAgent };

/** The control that shows a setting, as the settings model names its "type". */
enum class Control { checkBox, spinBox, textField, comboBox };

/** A value in the form the server delivers it: "true" or "false", a decimal number, a text. */
struct SettingValue
{
    const char* text = "";

    [[nodiscard]] constexpr bool isTrue() const { return std::string_view(text) == "true"; }

    /** The number that the text of a SpinBox's value is (decimal, optionally negative). */
    [[nodiscard]] constexpr int number() const
    {
        std::string_view digits(text);
        const bool negative = !digits.empty() && digits.front() == '-';
        if (negative)
            digits.remove_prefix(1);
        int value = 0;
        for (const char digit: digits)
            value = value * 10 + (digit - '0');
        return negative ? -value : value;
    }
};

/** A SpinBox's bounds, both included. */
struct SettingRange
{
    int min = 0;
    int max = 0;
};

/** One value that a ComboBox offers, and the words the dialog shows for it. */
struct SettingChoice
{
    const char* value = "";
    const char* caption = "";
};

/** A ComboBox's values, in the order the dialog lists them. */
struct SettingChoices
{
    const SettingChoice* items = nullptr;
    int count = 0;

    [[nodiscard]] constexpr const SettingChoice* begin() const { return items; }
    [[nodiscard]] constexpr const SettingChoice* end() const { return items + count; }
};

struct Setting
{
    SettingsModel model;
    const char* group; //< The caption of the GroupBox that shows it.
    Control control;
    const char* name;
    const char* caption;
    /** The model's default: what the server delivers until the user changes it. */
    SettingValue defaultValue;
    SettingRange range{}; //< SpinBox only.
    /**
     * A camera setting's value in the agent before the first delivery of settings; on purpose
     * not always the model's default. Empty for engine settings.
     */
    SettingValue agentStart{};
    bool separatorAbove = false; //< A Separator between it and the item above in its group.
    SettingChoices choices{}; //< ComboBox only.
};

namespace setting {

constexpr const char* kEngineGroup = "Engine settings";
constexpr const char* kEncryptionGroup = "Encryption";
constexpr const char* kDiagnosticsGroup = "Diagnostics";
/** The one group of each camera's settings; the dialog shows it under this caption too. */
constexpr const char* kCameraGroup = "Engine settings";

// Engine settings.

inline constexpr Setting kServicePort{SettingsModel::engine, kEngineGroup, Control::spinBox,
    "ServicePort", "Service Port", {"9911"}, {1024, 65535}};
inline constexpr Setting kServiceAddress{SettingsModel::engine, kEngineGroup, Control::textField,
    "ServiceAddress", "Service Address (IP address or interface; * for all)", {"*"}};
inline constexpr Setting kAllowedEngineAddresses{SettingsModel::engine, kEngineGroup,
    Control::textField, "AllowedEngineAddresses",
    "Allowed AI Engine Addresses (IP addresses and CIDR ranges, comma-separated; empty for any)",
    {""}};
inline constexpr Setting kIsolateReceiver{SettingsModel::engine, kEngineGroup, Control::checkBox,
    "IsolateReceiver",
    "Receive from AI engines in a separate, sandboxed process (recommended)", {"true"}};
/** Values of setting::kReceiveMessagesFor. */
constexpr const char* kAllCameras = "allCameras";
constexpr const char* kOwnCameras = "ownCameras";
inline constexpr SettingChoice kReceiveMessagesForChoices[] = {
    {kAllCameras, "All cameras (single server)"},
    {kOwnCameras, "Only this server's cameras"},
};
inline constexpr Setting kReceiveMessagesFor{SettingsModel::engine, kEngineGroup,
    Control::comboBox, "ReceiveMessagesFor", "Receive Messages For", {kAllCameras}, {}, {},
    false, {kReceiveMessagesForChoices, 2}};
inline constexpr Setting kCurveSecretKeyFile{SettingsModel::engine, kEncryptionGroup,
    Control::textField, "CurveSecretKeyFile",
    "CurveZMQ Secret Certificate File (empty for no encryption)", {""}};
inline constexpr Setting kAuthorizedEnginesDirectory{SettingsModel::engine, kEncryptionGroup,
    Control::textField, "AuthorizedEnginesDirectory",
    "Directory of the AI Engines' Public Certificates", {""}};
inline constexpr Setting kLoopbackRelay{SettingsModel::engine, kDiagnosticsGroup,
    Control::checkBox, "LoopbackRelay",
    "Publish a diagnostic copy of every message for local watchers", {"true"}};
inline constexpr Setting kLoopbackRelayEndpoint{SettingsModel::engine, kDiagnosticsGroup,
    Control::textField, "LoopbackRelayEndpoint",
    "Diagnostic copy endpoint (empty: a private socket that only the server's user can open; "
    "or e.g. tcp://127.0.0.1:688)", {""}};
inline constexpr Setting kMetricsFile{SettingsModel::engine, kDiagnosticsGroup,
    Control::textField, "MetricsFile",
    "Metrics file for monitoring (Prometheus text format; empty: none)", {""}};

// Camera settings: default, then the agent's value before the first settings.

inline constexpr Setting kSkipNullFaceObject{SettingsModel::deviceAgent, kCameraGroup,
    Control::checkBox, "skipNullFaceObject", "Ignore Metadata (unanalyzed face objects)",
    {"true"}, {}, {"true"}};
inline constexpr Setting kSkipNullPlateObject{SettingsModel::deviceAgent, kCameraGroup,
    Control::checkBox, "skipNullPlateObject", "Ignore Metadata (unanalyzed plate objects)",
    {"true"}, {}, {"true"}};
inline constexpr Setting kShowCounter{SettingsModel::deviceAgent, kCameraGroup,
    Control::checkBox, "showCounter", "Show Counter",
    {"true"}, {}, {"false"}};
inline constexpr Setting kEnableDebugDump{SettingsModel::deviceAgent, kCameraGroup,
    Control::checkBox, "enableDebugDump", "Enable Debug Dump (for Debugging, not recommended)",
    {"false"}, {}, {"false"}, /*separatorAbove*/ true};
inline constexpr Setting kEnableMetadata{SettingsModel::deviceAgent, kCameraGroup,
    Control::checkBox, "enableMetadata", "Enable Metadata (for Debugging, not recommended)",
    {"false"}, {}, {"true"}};
inline constexpr Setting kTimeCorrection{SettingsModel::deviceAgent, kCameraGroup,
    Control::spinBox, "timeCorrection", "Metadata Timestamp Correction (ms)",
    {"0"}, {-5000, 5000}, {"0"}};
inline constexpr SettingChoice kLatestFrameChoice{"latestFrame", "Latest video frame"};
inline constexpr SettingChoice kEngineFrameChoice{"engineFrame", "AI engine's frame time"};
inline constexpr SettingChoice kTimestampSourceChoices[] = {kLatestFrameChoice, kEngineFrameChoice};
inline constexpr Setting kTimestampSource{SettingsModel::deviceAgent, kCameraGroup,
    Control::comboBox, "timestampSource", "Metadata Timestamp Source",
    {kLatestFrameChoice.value}, {}, {kLatestFrameChoice.value}, /*separatorAbove*/ false,
    {kTimestampSourceChoices, 2}};

} // namespace setting

/** Every setting, in the order of its model's dialog; a group's settings follow each other. */
inline constexpr const Setting* kSettings[] = {
    &setting::kServicePort,
    &setting::kServiceAddress,
    &setting::kAllowedEngineAddresses,
    &setting::kIsolateReceiver,
    &setting::kReceiveMessagesFor,
    &setting::kCurveSecretKeyFile,
    &setting::kAuthorizedEnginesDirectory,
    &setting::kLoopbackRelay,
    &setting::kLoopbackRelayEndpoint,
    &setting::kMetricsFile,
    &setting::kSkipNullFaceObject,
    &setting::kSkipNullPlateObject,
    &setting::kShowCounter,
    &setting::kEnableDebugDump,
    &setting::kEnableMetadata,
    &setting::kTimeCorrection,
    &setting::kTimestampSource,
};

namespace setting {

/** Whether a value is one that the control can hold: what the models would declare. */
constexpr bool isValueOf(const Setting& row, SettingValue value)
{
    const std::string_view text(value.text);
    switch (row.control)
    {
        case Control::checkBox:
            return text == "true" || text == "false";
        case Control::spinBox:
            return !text.empty() && text.find_first_not_of("-0123456789") == std::string_view::npos
                && value.number() >= row.range.min && value.number() <= row.range.max;
        case Control::textField:
            return true;
        case Control::comboBox:
            for (const SettingChoice& choice: row.choices)
            {
                if (text == choice.value)
                    return true;
            }
            return false;
    }
    return false;
}

constexpr bool rowsAreWellFormed()
{
    for (const Setting* row: kSettings)
    {
        if (!isValueOf(*row, row->defaultValue))
            return false;
        if (row->model == SettingsModel::deviceAgent && !isValueOf(*row, row->agentStart))
            return false;
    }
    return true;
}

static_assert(rowsAreWellFormed(), "a default or an agent's start value does not fit its control");

} // namespace setting

} // namespace nx::vms_server_plugins::analytics::sample
