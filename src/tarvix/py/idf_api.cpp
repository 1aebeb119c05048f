// What tarvix.idf publishes for the modules that read its documents
// (py/idf_api.h): a document's state, a core read over its slots, the
// object of a slot.
#include "py/idf_document.h"

namespace tarvix::idf {
namespace {

int document_state(PyObject* obj, const char* func_name, DocumentState* state) {
    if (!is_idf(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'doc' must be tarvix.idf.IDF, not %.200s", func_name,
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    const IDFDoc* doc = as_doc(obj);
    const bool native = is_native(doc);
    *state = DocumentState{doc, native, native ? doc->doc.generation() : 0, doc->folder};
    return 0;
}

int read_document(PyObject* obj, const Reader* reader, SlotReader* read, void* context) {
    if (!is_idf(obj)) {
        py::raise_expected("tarvix.idf.IDF", obj);
        return -1;
    }
    const bool done = with_checked_slots(
        as_doc(obj), *reader, [&](const SlotSource& slots, const c_IDD& schema) { read(context, slots, schema); });
    return done ? 0 : -1;
}

PyObject* object_in_slot(PyObject* obj, size_t slot) {
    if (!is_idf(obj)) {
        py::raise_expected("tarvix.idf.IDF", obj);
        return nullptr;
    }
    py::Ref object;
    if (!object_at(as_doc(obj), slot, object)) return nullptr;
    return object ? object.release() : Py_NewRef(Py_None);
}

}  // namespace

int publish_document_api(PyObject* module) {
    if (py::publish_function<DocumentStateFn>(module, "document_state",
                                              py::guarded<document_state, "tarvix.idf.document_state">,
                                              kDocumentStateSignature) < 0 ||
        py::publish_function<ReadDocumentFn>(module, "read_document",
                                             py::guarded<read_document, "tarvix.idf.read_document">,
                                             kReadDocumentSignature) < 0 ||
        py::publish_function<ObjectAtFn>(module, "object_at", py::guarded<object_in_slot, "tarvix.idf.object_at">,
                                         kObjectAtSignature) < 0)
        return -1;
    return 0;
}

}  // namespace tarvix::idf
