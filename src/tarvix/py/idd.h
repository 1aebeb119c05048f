// tarvix.idd as other modules see it: the layout of an IDD object and its
// native method table, and the native functions the module publishes with
// their signature texts.
#pragma once

#include "py/binding.h"
#include "core/schema/schema.h"
#include "py/lexer.h"
#include "py/utils.h"

namespace tarvix::idd {

struct IDDObject;

// Native methods of IDD, in table order.
struct IDDMethods {
    int (*c_init)(IDDObject* self, PyObject* idd_content);
};

struct IDDObject {
    PyObject_HEAD const IDDMethods* methods;
    c_IDD c_idd;        // the schema; empty until loaded
    bool initialized;   // true once a load has succeeded
    PyObject* version;  // None until loaded, then the version as str
    PyObject* text;     // the bytes the schema views, once loaded
};

// Published in tarvix.idd's function table, in this order.
using ParseIddFn = int(lexer::LexerObject* lexer, c_IDD& idd);
using ResolveKeyToFieldIndexFn = int32_t(const ClassDef* cls, PyObject* key);
using FindFieldIndexFn = int32_t(const ClassDef* cls, const std::string& field_name);
using GetFieldNameFn = std::string(const ClassDef* cls, int32_t field_idx, bool add_units);
using GetFieldDefFn = const FieldDef*(const ClassDef* cls, size_t field_idx);

inline constexpr const char* kParseIddSignature = "int (tarvix::lexer::LexerObject *, tarvix::c_IDD &)";
inline constexpr const char* kResolveKeyToFieldIndexSignature = "int32_t (tarvix::ClassDef const *, PyObject *)";
inline constexpr const char* kFindFieldIndexSignature = "int32_t (tarvix::ClassDef const *, std::string const &)";
inline constexpr const char* kGetFieldNameSignature = "std::string (tarvix::ClassDef const *, int32_t, bool)";
inline constexpr const char* kGetFieldDefSignature = "tarvix::FieldDef const *(tarvix::ClassDef const *, size_t)";

}  // namespace tarvix::idd
