#include "settings_model.h"

#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** Where a model stands in its manifest: a member of the top object. */
constexpr int kModelIndent = 4;

/**
 * The camera model's "sections": the "ROI" section, whose figures the dialog offers and the
 * plugin does not read; no setting of the plugin. Follows the closing of the model's "items".
 */
constexpr char kRoiSection[] = R"(,
        "sections": [
           {
                "type": "Section",
                "caption": "ROI",
                "items": [
                    {
                        "type": "GroupBox",
                        "caption": "Polygons",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Polygon #",
                                    "filledCheckItems": ["polygon#.figure"],
                                    "items": [
                                        {
                                            "type": "PolygonFigure",
                                            "name": "polygon#.figure",
                                            "minPoints": 4,
                                            "maxPoints": 16
                                        }
                                    ]
                                }
                            }
                        ]
                    },
                    {
                        "type": "GroupBox",
                        "caption": "Lines",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Line #",
                                    "filledCheckItems": ["line#.figure"],
                                    "items": [
                                        {
                                            "type": "LineFigure",
                                            "name": "line#.figure"
                                        }
                                    ]
                                }
                            }
                        ]
                    }
                ]
            }
        ])";

std::string blanks(int count)
{
    return std::string(static_cast<size_t>(count), ' ');
}

/** The text with every line after the first moved right by `indent` blanks. */
std::string indented(const std::string& text, int indent)
{
    std::string result;
    result.reserve(text.size());
    for (const char c: text)
    {
        result += c;
        if (c == '\n')
            result += blanks(indent);
    }
    return result;
}

const char* typeOf(Control control)
{
    switch (control)
    {
        case Control::checkBox:
            return "CheckBox";
        case Control::spinBox:
            return "SpinBox";
        case Control::textField:
            return "TextField";
        case Control::comboBox:
            return "ComboBox";
    }
    return "";
}

/** One setting; the caller puts its brace, its members stand `indent` + 4 blanks in. */
std::string settingItem(const Setting& setting, int indent)
{
    nlohmann::ordered_json item{
        {"type", typeOf(setting.control)},
        {"name", setting.name},
        {"caption", setting.caption},
    };
    switch (setting.control)
    {
        case Control::checkBox:
            item["defaultValue"] = setting.defaultValue.isTrue();
            item["value"] = setting.defaultValue.isTrue(); //< What the dialog shows at first.
            break;
        case Control::spinBox:
            item["defaultValue"] = setting.defaultValue.number();
            item["minValue"] = setting.range.min;
            item["maxValue"] = setting.range.max;
            break;
        case Control::textField:
            item["defaultValue"] = setting.defaultValue.text;
            break;
        case Control::comboBox:
            item["defaultValue"] = setting.defaultValue.text;
            item["range"] = nlohmann::ordered_json::array();
            item["itemCaptions"] = nlohmann::ordered_json::object();
            for (const SettingChoice& choice: setting.choices)
            {
                item["range"].push_back(choice.value);
                item["itemCaptions"][choice.value] = choice.caption;
            }
            break;
    }
    return indented(item.dump(4), indent);
}

/** The line between two settings of a group; the blank after its type is the manifest's. */
std::string separator(int indent)
{
    return "{\n" + blanks(indent + 4) + "\"type\": \"Separator\" \n" + blanks(indent) + "}";
}

/** A GroupBox of items; the caller puts its brace, its members stand `indent` + 4 blanks in. */
std::string groupBox(const char* caption, const std::vector<std::string>& items, int indent)
{
    const std::string member = blanks(indent + 4);
    std::string text = "{\n" + member + "\"type\": \"GroupBox\",\n" + member + "\"caption\": "
        + nlohmann::json(caption).dump() + ",\n" + member + "\"items\": [\n";
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : ",\n") + blanks(indent + 8) + items[i];
    return text + "\n" + member + "]\n" + blanks(indent) + "}";
}

/** The model's settings, a GroupBox for each run of settings in the same group, in order. */
std::vector<std::string> groupBoxes(SettingsModel model, int indent)
{
    std::vector<std::string> groups;
    const char* group = nullptr;
    std::vector<std::string> items;
    for (const Setting* setting: kSettings)
    {
        if (setting->model != model)
            continue;
        if (group && std::string_view(group) != setting->group)
        {
            groups.push_back(groupBox(group, items, indent));
            items.clear();
        }
        group = setting->group;
        if (setting->separatorAbove)
            items.push_back(separator(indent + 8));
        items.push_back(settingItem(*setting, indent + 8));
    }
    if (group)
        groups.push_back(groupBox(group, items, indent));
    return groups;
}

/**
 * A model of type "Settings": its groups as "items", each brace `groupIndent` blanks in, then
 * `rest`, which follows the closing of "items".
 */
std::string settingsModel(SettingsModel model, int groupIndent, const char* rest)
{
    const std::string member = blanks(kModelIndent + 4);
    std::string text = "{\n" + member + "\"type\": \"Settings\",\n" + member + "\"items\": [\n";
    const std::vector<std::string> groups = groupBoxes(model, kModelIndent + 8);
    for (size_t i = 0; i < groups.size(); ++i)
        text += (i == 0 ? "" : ",\n") + blanks(groupIndent) + groups[i];
    return text + "\n" + member + "]" + rest + "\n" + blanks(kModelIndent) + "}";
}

} // namespace

std::string engineSettingsModel()
{
    return settingsModel(SettingsModel::engine, kModelIndent + 8, "");
}

std::string deviceAgentSettingsModel()
{
    // The braces of its group (and of its section) stand one blank left of their members.
    return settingsModel(SettingsModel::deviceAgent, kModelIndent + 7, kRoiSection);
}

std::map<std::string, std::string> modelDefaults(SettingsModel model)
{
    std::map<std::string, std::string> defaults;
    for (const Setting* setting: kSettings)
    {
        if (setting->model == model)
            defaults[setting->name] = setting->defaultValue.text;
    }
    return defaults;
}

} // namespace nx::vms_server_plugins::analytics::sample
