#include "type_ids.h"

#include <nlohmann/json.hpp>

namespace nx::vms_server_plugins::analytics::sample {

const char* const kUnregisteredEventTypeId = "skyloom.plugin.evt_unregistered";
const char* const kUnregisteredObjectTypeId = "skyloom.plugin.obj_unregistered";
const char* const kCounterObjectTypeId = "skyloom.plugin.obj_counter";

namespace {

// Manifest order. The source names are all distinct and none but the "lpr" prefix overlaps
// another, so the order of the lookup does not matter.
const EventType kEventTypes[] = {
    {"skyloom.plugin.evt_abandon", "Illegal Dumping", "abandon"},
    {"skyloom.plugin.evt_animal", "Animal Detection", "animal"},
    {"skyloom.plugin.evt_body_gaze", "Intentional Body Gaze Detector", "body_gaze"},
    {"skyloom.plugin.evt_crowd", "Crowd Detection", "crowd"},
    {"skyloom.plugin.evt_fallen", "Fallen Person Detection", "fallen"},
    {"skyloom.plugin.evt_fence", "Virtual Fence", "fence"},
    {"skyloom.plugin.evt_fire", "Fire Detection", "fire"},
    {"skyloom.plugin.evt_hand_intrusion", "Hand & Foot Intrusion", "hand_intrusion"},
    {"skyloom.plugin.evt_illegal_parking", "Illegal Parking", "illegal_parking"},
    {"skyloom.plugin.evt_intrusion", "Intrusion Detection", "intrusion"},
    {"skyloom.plugin.evt_loitering", "Loitering Person", "loitering"},
    {"skyloom.plugin.evt_lpr", "LPR", "lpr", /*sourceIsPrefix*/ true},
    {"skyloom.plugin.evt_no_helmet", "Helmet Not Wearing", "no_helmet"},
    {"skyloom.plugin.evt_no_vest", "Safety-Vest Not Wearing", "no_vest"},
    {"skyloom.plugin.evt_occupancy", "Occupancy Counting", "occupancy"},
    {"skyloom.plugin.evt_people_counting", "People Counting", "people_counting"},
    {"skyloom.plugin.evt_prolonged_stay", "Human Prolonged Stay", "prolonged_stay"},
    {"skyloom.plugin.evt_ptz_tracking", "PTZ Tracking", ""}, //< Declared, never produced.
    {"skyloom.plugin.evt_stay_go", "Stay & Go", "stay_go"},
    {"skyloom.plugin.evt_stopping", "Stopping Detection", "stopping"},
    {"skyloom.plugin.evt_tailgating", "Tailgating", "tailgating"},
    {"skyloom.plugin.evt_threat", "Imminent Threat", "threat"},
    {"skyloom.plugin.evt_vehicle_counting", "Vehicle Counting", "vehicle_counting"},
    {"skyloom.plugin.evt_violence", "Violence Detection", "violence"},
    {"skyloom.plugin.evt_zone_occupancy", "Zone Counting", "zone_occupancy"},
    {"skyloom.plugin.evt_dpc", "Project(DPC)", "dpc"},
    {kUnregisteredEventTypeId, "Event", ""},
};

const ObjectType kObjectTypes[] = {
    {"skyloom.plugin.obj_person", "person", {"human", "person"}},
    {"skyloom.plugin.obj_fallen", "fallen", {"fallen"}},
    {"skyloom.plugin.obj_nohelmet", "no-helmet", {"no-helmet"}},
    {"skyloom.plugin.obj_novest", "no-vest", {"no-vest"}},
    {"skyloom.plugin.obj_animal", "animal", {"animal"}},
    {"skyloom.plugin.obj_bike", "bike", {"bike"}},
    {"skyloom.plugin.obj_car", "car", {"car"}},
    {"skyloom.plugin.obj_lp", "lp", {"lp"}},
    {"skyloom.plugin.obj_fire", "fire", {"fire"}},
    {"skyloom.plugin.obj_abandoned", "abandoned", {"abandoned"}},
    {"skyloom.plugin.obj_violence", "violence", {"violence"}},
    {kCounterObjectTypeId, "counter", {"counter"}},
    {kUnregisteredObjectTypeId, "object", {}},
};

} // namespace

const char* eventTypeIdForSource(std::string_view source)
{
    for (const EventType& type: kEventTypes)
    {
        // Most names differ in their first byte: compared before the rest, which saves a call.
        if (type.source.empty() || source.empty() || type.source[0] != source[0])
            continue;
        if (type.sourceIsPrefix ? source.substr(0, type.source.size()) == type.source
            : source == type.source)
        {
            return type.id;
        }
    }
    return kUnregisteredEventTypeId;
}

const char* objectTypeIdForClass(std::string_view className)
{
    for (const ObjectType& type: kObjectTypes)
    {
        for (const std::string_view name: type.classes)
        {
            if (!name.empty() && className == name)
                return type.id;
        }
    }
    return kUnregisteredObjectTypeId;
}

std::string deviceAgentManifest()
{
    nlohmann::json eventTypes = nlohmann::json::array();
    for (const EventType& type: kEventTypes)
        eventTypes.push_back({{"id", type.id}, {"name", type.name}});
    nlohmann::json objectTypes = nlohmann::json::array();
    for (const ObjectType& type: kObjectTypes)
        objectTypes.push_back({{"id", type.id}, {"name", type.name}});
    return nlohmann::json{{"eventTypes", eventTypes}, {"objectTypes", objectTypes}}.dump(4)
        + "\n";
}

} // namespace nx::vms_server_plugins::analytics::sample
