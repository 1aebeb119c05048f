// The geometry reader. The input is a document text, loaded against a small
// schema with the geometry classes; its model is read with and without the
// frames edits use. Whatever the text holds (vertex counts that lie, numbers
// that are not, names that collide, references to nothing), the reading ends
// with every index of the model in range and the model the same both ways.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/geometry/geometry.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

constexpr std::string_view kSchema = R"(\group Simulation
Version,
  A1 ; \field Version Identifier
Building,
  A1 , \field Name
  N1 ; \field North Axis
GlobalGeometryRules,
  A1 , \field Starting Vertex Position
  A2 , \field Vertex Entry Direction
  A3 , \field Coordinate System
  A4 , \field Daylighting Reference Point Coordinate System
  A5 ; \field Rectangular Surface Coordinate System
Zone,
  A1 , \field Name
  N1 , \field Direction of Relative North
  N2 , \field X Origin
  N3 , \field Y Origin
  N4 , \field Z Origin
  N5 , \field Type
  N6 , \field Multiplier
  N7 , \field Ceiling Height
  N8 , \field Volume
  N9 , \field Floor Area
  A2 ; \field Part of Total Floor Area
ZoneList,
  \extensible:1
  A1 , \field Name
  A2 ; \field Zone 1 Name
       \begin-extensible
ZoneGroup,
  A1 , \field Name
  A2 , \field Zone List Name
  N1 ; \field Zone List Multiplier
BuildingSurface:Detailed,
  \extensible:3
  A1 , \field Name
  A2 , \field Surface Type
  A3 , \field Construction Name
  A4 , \field Zone Name
  A5 , \field Outside Boundary Condition
  N1 , \field Number of Vertices
  N2 , \field Vertex 1 X-coordinate
       \begin-extensible
  N3 , \field Vertex 1 Y-coordinate
  N4 ; \field Vertex 1 Z-coordinate
FenestrationSurface:Detailed,
  A1 , \field Name
  A2 , \field Surface Type
  A3 , \field Construction Name
  A4 , \field Building Surface Name
  N1 , \field Multiplier
  N2 , \field Number of Vertices
  N3 , \field Vertex 1 X-coordinate
  N4 , \field Vertex 1 Y-coordinate
  N5 , \field Vertex 1 Z-coordinate
  N6 , \field Vertex 2 X-coordinate
  N7 , \field Vertex 2 Y-coordinate
  N8 ; \field Vertex 2 Z-coordinate
Wall:Exterior,
  A1 , \field Name
  A2 , \field Construction Name
  A3 , \field Zone Name
  N1 , \field Azimuth Angle
  N2 , \field Tilt Angle
  N3 , \field Starting X Coordinate
  N4 , \field Starting Y Coordinate
  N5 , \field Starting Z Coordinate
  N6 , \field Length
  N7 ; \field Height
Window,
  A1 , \field Name
  A2 , \field Construction Name
  A3 , \field Building Surface Name
  N1 , \field Multiplier
  N2 , \field Starting X Coordinate
  N3 , \field Starting Z Coordinate
  N4 , \field Length
  N5 ; \field Height
Shading:Overhang,
  A1 , \field Name
  A2 , \field Window or Door Name
  N1 , \field Height above Window or Door
  N2 , \field Tilt Angle from Window/Door
  N3 , \field Left extension from Window/Door Width
  N4 , \field Right extension from Window/Door Width
  N5 ; \field Depth
Shading:Fin:Projection,
  A1 , \field Name
  A2 , \field Window or Door Name
  N1 , \field Left Extension from Window/Door
  N2 , \field Left Distance Above Top of Window
  N3 , \field Left Distance Below Bottom of Window
  N4 , \field Left Tilt Angle from Window/Door
  N5 , \field Left Depth as Fraction of Window/Door Width
  N6 , \field Right Extension from Window/Door
  N7 , \field Right Distance Above Top of Window
  N8 , \field Right Distance Below Bottom of Window
  N9 , \field Right Tilt Angle from Window/Door
  N10; \field Right Depth as Fraction of Window/Door Width
Shading:Building:Detailed,
  \extensible:3
  A1 , \field Name
  A2 , \field Transmittance Schedule Name
  N1 , \field Number of Vertices
  N2 , \field Vertex 1 X-coordinate
       \begin-extensible
  N3 , \field Vertex 1 Y-coordinate
  N4 ; \field Vertex 1 Z-coordinate
Daylighting:ReferencePoint,
  A1 , \field Name
  A2 , \field Zone or Space Name
  N1 , \field X-Coordinate of Reference Point
  N2 , \field Y-Coordinate of Reference Point
  N3 ; \field Z-Coordinate of Reference Point
)";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

void check(const geometry::Model& model) {
    for (const geometry::Surface& s : model.surfaces) {
        FUZZ_CHECK(size_t{s.first_vertex} + s.vertex_count <= model.vertices.size());
        FUZZ_CHECK(s.zone_idx < static_cast<int64_t>(model.zones.size()));
        FUZZ_CHECK(s.base_idx < static_cast<int64_t>(model.surfaces.size()));
        for (uint32_t id : {s.name, s.class_name, s.zone, s.base_surface, s.construction, s.outside_boundary})
            FUZZ_CHECK(id == geometry::kNoText || id < model.texts.size());
    }
    for (const geometry::Zone& z : model.zones) FUZZ_CHECK(z.name == geometry::kNoText || z.name < model.texts.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    Document doc(&schema());
    DocumentError error;
    if (!doc.load(make_text_store(std::string(text)), false, error)) return 0;
    doc.finish_load();
    geometry::Model plain, framed;
    geometry::read_model(doc, schema(), plain);
    geometry::read_model(doc, schema(), framed, true);
    check(plain);
    check(framed);
    FUZZ_CHECK(plain.surfaces.size() == framed.surfaces.size() && plain.zones.size() == framed.zones.size());
    for (const geometry::Frame& frame : framed.frames) FUZZ_CHECK(frame.slot < doc.slot_count());
    return 0;
}
