// Document parser, then what loading does with the values: number reads and
// the reference graph. Every value is registered, found, and unregistered
// again, after which the graph must be empty.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "core/document.h"

using namespace tarvix::idf;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    tarvix::lexer::Tokenizer tokenizer;
    tokenizer.init(text, false);
    std::vector<c_IDFObject> objects;
    DocumentError error;
    if (!parse_document(fuzz::source_of(tokenizer), objects, error)) {
        FUZZ_CHECK(error.line_num >= 1);
        FUZZ_CHECK(error.kind != DocumentErrorKind::unrecognized_token);
        return 0;
    }
    // Each object ends at its own ";".
    FUZZ_CHECK(objects.size() <= static_cast<size_t>(std::count(text.begin(), text.end(), ';')));

    // A few tags, so values meet both in one tag and across tags.
    static const std::string kTags[] = {"ZoneNames", "zonenames", "Other"};
    RefMap refs;
    for (size_t o = 0; o < objects.size(); ++o) {
        const FieldValues& values = objects[o].values;
        for (size_t f = 0; f < values.size(); ++f) {
            const std::string_view value = values[f];
            // Integer text is real text too, out of range or not.
            bool out_of_range = false;
            if (read_integer(value, out_of_range)) FUZZ_CHECK(read_real(value).has_value());
            const FieldLoc loc{o, static_cast<int32_t>(f)};
            register_ref(refs, kTags[f % 3], value, loc, "fuzz");
            const std::vector<FieldLoc>* found = find_refs(refs, kTags[f % 3], tarvix::to_lower(std::string(value)));
            FUZZ_CHECK(found && std::find(found->begin(), found->end(), loc) != found->end());
        }
    }
    for (size_t o = objects.size(); o-- > 0;)
        for (size_t f = 0; f < objects[o].values.size(); ++f)
            unregister_ref(refs, kTags[f % 3], objects[o].values[f], FieldLoc{o, static_cast<int32_t>(f)});
    FUZZ_CHECK(refs.empty());
    return 0;
}
