// How the core reaches a document's slots when the objects in them may be
// held elsewhere. The Document holds its own; the binding's listed documents
// hold a list of objects, each keeping its values itself or in the
// Document. The writer, the checks and the epJSON writer walk slots as a
// SlotSource; the edits and queries that write or look objects up go
// through a SlotHost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/document/values.h"
#include "core/schema/schema.h"

namespace tarvix {

// One object as the writer sees it: its class (null when it has none), the
// class name to write, and its values.
struct ObjectView {
    const ClassDef* cls = nullptr;
    std::string_view class_name;
    ValuesView values;
};

// What a document's slot holds: nothing (a removed object), an object, or
// something that is not an object (only a restored state can put one there).
enum class SlotState { empty, object, foreign };

// The slots of a document, as the writer walks them.
class SlotSource {
public:
    virtual ~SlotSource() = default;
    virtual size_t slot_count() const noexcept = 0;
    // Fills `out` when the slot holds an object.
    virtual SlotState view(size_t slot, ObjectView& out) const noexcept = 0;
    // Whether the slot holds the object loaded into it, none of whose values
    // changed since; false when that is not known.
    virtual bool unchanged(size_t) const noexcept { return false; }
    // Whether the object in the slot took another shape than the one loaded
    // into it (fields moved, its class renamed), so that the kept layout
    // writes it again whole where it stands.
    virtual bool reshaped(size_t) const noexcept { return false; }
};

// Slots that an edit may write: view() tells the object that sits in a slot
// (and so answers for it in the document's graph), prepare() and write()
// change its values, append() and vacate() add and take out objects, each
// leaving the graph and the per-class index to the caller.
class SlotHost : public SlotSource {
public:
    // Whether an object sits in the slot.
    bool occupied(size_t slot) const noexcept {
        ObjectView ignored;
        return slot < slot_count() && view(slot, ignored) == SlotState::object;
    }
    // Makes room in the values of the object in an occupied slot for
    // `extra` more bytes of text and `count` values in all, leaving them as
    // they are. Throws std::bad_alloc / std::length_error.
    virtual void prepare(size_t slot, size_t extra, size_t count) = 0;
    // Sets value `field_idx` of that object within the room made.
    virtual void write(size_t slot, size_t field_idx, std::string_view value) noexcept = 0;
    // Puts an object of class `class_idx` holding `values` in a new slot at
    // the end (the slot_count() before the call). Throws std::bad_alloc with
    // the slots unchanged.
    virtual void append(uint32_t class_idx, FieldValues values) = 0;
    // Takes the object the last append() put in out again (a later step of
    // the same edit failed).
    virtual void unappend() noexcept = 0;
    // Empties an occupied slot: its object leaves it, and with it what the
    // slot kept for that object.
    virtual void vacate(size_t slot) noexcept = 0;
};

}  // namespace tarvix
