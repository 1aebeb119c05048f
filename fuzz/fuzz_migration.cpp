// Version migration. The first two input bytes pick the version the
// document is written for and the one wanted (among those migration knows),
// the third whether its layout is kept; the rest is the document. It is
// loaded against a schema made from the rules themselves: every class they
// name or make, each taking any number of fields. Migrating must end with a
// text or an error, never a crash, and the text must load again against
// the same schema (the target's classes are there too).
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/migration/migration.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

// Classes routines make, which no rule names.
constexpr std::string_view kMade[] = {
    "ZoneHVAC:AirDistributionUnit",
    "Curve:Linear",
    "Curve:QuadLinear",
    "Curve:QuintLinear",
    "Curve:Quartic",
    "Daylighting:ReferencePoint",
    "WindowShadingControl",
    "Table:IndependentVariable",
    "Table:IndependentVariableList",
    "Table:Lookup",
    "Schedule:Constant",
    "ScheduleTypeLimits",
    "ConstructionProperty:InternalHeatSource",
    "Construction",
    "SurfaceProperty:ExposedFoundationPerimeter",
    "Site:GroundTemperature:Undisturbed:KusudaAchenbach",
    "GroundHeatExchanger:System",
    "GroundHeatExchanger:Vertical:Properties",
    "GroundHeatExchanger:ResponseFactors",
    "Fan:SystemModel",
    "NodeList",
    "Material",
    "Output:Variable",
    "Output:Meter",
    "Output:Table:Monthly",
    "Meter:Custom",
    "EnergyManagementSystem:Sensor",
    "Zone",
    "BuildingSurface:Detailed",
    "Wall:Exterior",
    "AirLoopHVAC",
    "AirLoopHVAC:ZoneSplitter",
    "AirLoopHVAC:SupplyPlenum",
    "ZoneHVAC:EquipmentList",
    "WaterHeater:Stratified",
    "Fan:VariableVolume",
};

// Every class of the rules, then the made ones: a name and any number of
// alpha fields.
std::string schema_text() {
    std::set<std::string> classes(std::begin(kMade), std::end(kMade));
    const std::string_view rules = migration::rules_text();
    for (size_t at = 0; at < rules.size();) {
        size_t end = rules.find('\n', at);
        if (end == std::string_view::npos) end = rules.size();
        std::string_view line = rules.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == '[' || line.starts_with("variable")) continue;
        const size_t space = line.find(' ');
        if (space == std::string_view::npos) continue;
        std::string_view rest = line.substr(space + 1);
        const std::string_view cls = rest.substr(0, rest.find(' '));
        classes.emplace(cls);
        if (line.starts_with("class ")) {
            rest = rest.substr(cls.size() + 1);
            classes.emplace(rest.substr(0, rest.find(' ')));
        }
    }
    std::string text = "\\group All\nVersion,\n  A1 ; \\field Version Identifier\n";
    for (const std::string& cls : classes) {
        if (cls == "Version") continue;
        text += cls + ",\n  \\extensible:1\n  A1 ; \\field Field 1\n       \\begin-extensible\n";
    }
    return text;
}

const c_IDD& schema() {
    static const std::string text = schema_text();  // the schema views its text
    static const c_IDD idd = fuzz::parse_fixed_schema(text);
    return idd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const std::vector<std::string>& versions = migration::versions();
    const std::string& from = versions[data[0] % versions.size()];
    const std::string& to = versions[data[1] % versions.size()];
    const bool keep = data[2] & 1;
    const std::string_view text = fuzz::as_text(data + 3, size - 3);
    Document doc(&schema());
    DocumentError error;
    if (!doc.load(make_text_store(std::string(text)), false, error, keep)) return 0;
    doc.finish_load();
    migration::Options options;
    options.from = from;
    options.to = to;
    options.target = &schema();
    options.source = keep ? doc.source() : nullptr;
    migration::Result result;
    if (!migration::migrate(doc, options, result)) {
        FUZZ_CHECK(!result.error.empty());
        return 0;
    }
    FUZZ_CHECK(result.error.empty());
    Document again(&schema());
    FUZZ_CHECK(fuzz::load_document(again, result.text, error));
    return 0;
}
