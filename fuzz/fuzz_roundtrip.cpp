// Round trip: load a document against a small fixed schema, write it with
// the document writer in each layout (padded, unpadded, compact) and each
// order (schema order, document order), load the text again and compare.
// The writer drops trailing empty values and pads to the class's
// min-fields, so the values read back are the stored ones after that
// normalisation; in schema order the objects come back grouped by class, in
// the order the schema lists the classes. Writing the reloaded document
// again must give the same text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "core/document/document.h"
#include "core/formats/layout.h"
#include "core/schema/schema.h"

using namespace tarvix;

namespace {

// Min-fields, units, a repeating group with and without \begin-extensible,
// and a class without either.
constexpr std::string_view kSchema = R"(\group Simulation
Version,
  A1 ; \field Version Identifier
\group Zones
Zone,
  \min-fields 3
  A1 , \field Name
  N1 , \field Direction of Relative North
       \units deg
  N2 , \field Multiplier
  N3 ; \field Ceiling Height
       \units m
Surface,
  \min-fields 2
  \extensible:3
  A1 , \field Name
  A2 , \field Zone Name
  N1 , \field Vertex 1 X-coordinate
       \begin-extensible
       \units m
  N2 , \field Vertex 1 Y-coordinate
       \units m
  N3 ; \field Vertex 1 Z-coordinate
       \units m
ZoneList,
  \extensible:1
  A1 , \field Name
  A2 , \field Zone 1 Name
  A3 ; \field Zone 2 Name
)";

const c_IDD& schema() {
    static const c_IDD idd = fuzz::parse_fixed_schema(kSchema);
    return idd;
}

std::string write(const Document& doc, const FormatConfig& config, bool preserve_order) {
    std::string out;
    WriteResult result;
    write_document(out, config, preserve_order, &schema(), doc.index(), doc, result);
    FUZZ_CHECK(!result.out_of_memory && result.foreign_slot == SIZE_MAX);
    return out;
}

std::string key_of(const Document& doc, size_t slot) { return to_upper(std::string(doc.class_def(slot)->name)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Document doc(&schema());
    DocumentError error;
    if (!fuzz::load_document(doc, fuzz::as_text(data, size), error)) return 0;

    const FormatConfig layouts[] = {
        generate_format_config(),
        generate_format_config(0, 4, 0),
        FormatConfig{{}, {}, 0, true},
    };
    for (const FormatConfig& config : layouts) {
        for (const bool preserve_order : {false, true}) {
            const std::string text = write(doc, config, preserve_order);
            Document again(&schema());
            FUZZ_CHECK(fuzz::load_document(again, text, error));

            // Where each object read back came from.
            std::vector<size_t> order;
            if (preserve_order) {
                for (size_t slot = 0; slot < doc.slot_count(); ++slot)
                    if (doc.live(slot)) order.push_back(slot);
            } else {
                order = fuzz::schema_order(
                    schema(), doc.slot_count(), [&](size_t slot) { return doc.live(slot); },
                    [&](size_t slot) { return key_of(doc, slot); });
            }
            FUZZ_CHECK(again.slot_count() == order.size());
            for (size_t k = 0; k < order.size(); ++k) {
                FUZZ_CHECK(again.live(k));
                FUZZ_CHECK(again.class_idx(k) == doc.class_idx(order[k]));
                const ClassDef* cls = doc.class_def(order[k]);
                FUZZ_CHECK(fuzz::same_values(again.values(k), fuzz::written_values(cls, doc.values(order[k]))));
            }
            // The text read back is already in the order it was written in.
            FUZZ_CHECK(write(again, config, preserve_order) == text);
        }
    }
    return 0;
}
