// Bringing a document written for an older version of the engine to a newer
// one, a version step at a time, as the engine's own transition programs
// do: classes renamed, fields inserted and removed, choice keys and output
// variable names renamed, blanks given the value the old version assumed,
// and objects the new version has no place for reported.
//
// The rules of each step are data (rules.txt, read once); what a rule
// computes is a named routine in migration.cpp. The objects are read from a
// document's slots and the result is the text of the migrated document,
// laid out as the source was when its text is given (objects that changed
// shape written again in place, in the source's own style), or in the
// standard layout. The caller loads that text against the target schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/document/slot_host.h"
#include "core/document/source_text.h"
#include "core/formats/layout.h"
#include "core/schema/schema.h"

namespace tarvix::migration {

// What a step did to one object, or could not do.
struct Note {
    std::string step;        // "8.0 -> 8.1"
    std::string class_name;  // the object's class in the step's source version
    std::string object;      // its name (first field), empty for none
    int32_t field = -1;      // the 0-based field concerned, -1 for the whole object
    std::string message;
    bool loss = false;  // something of the source did not carry over
};

struct Options {
    std::string_view from;  // the document's version ("8.0", "8.0.0")
    std::string_view to;    // the version wanted
    const c_IDD* target = nullptr;
    const SourceText* source = nullptr;  // the source's text, to keep its layout
};

struct Result {
    std::string text;
    std::vector<Note> notes;
    std::string error;  // why nothing was made
    size_t steps = 0;   // version steps taken
};

// The versions migration knows, oldest first ("8.0", ..., "25.2").
const std::vector<std::string>& versions() noexcept;

// The index of a version in versions() by its major.minor; -1 when unknown.
int version_index(std::string_view version) noexcept;

// Migrates the objects of `slots`. False with `result.error` set for a
// version it does not know, a target older than the source, a class the
// target lacks that no rule accounts for (every such object is a note and
// is left out otherwise), or memory running out.
bool migrate(const SlotSource& slots, const Options& options, Result& result) noexcept;

// The rules as written (rules.txt), for documentation and tests.
std::string_view rules_text() noexcept;

}  // namespace tarvix::migration
