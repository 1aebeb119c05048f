// The native functions that tarvix.utils publishes in its function table,
// with the signature texts that exporter and importer share.
#pragma once

#include <cstdint>
#include <string>

#include "core/text/text.h"

// PyObject, declared without pulling in the interpreter's headers.
struct _object;
typedef struct _object PyObject;

namespace tarvix {

// Optional arguments of read_utf8_bytes: how many are given (0 or 1), then
// the encoding (a str or None).
struct ReadUtf8BytesOptions {
    int32_t n;
    PyObject* encoding;
};

using ReadUtf8BytesFn = PyObject*(PyObject* filepath, ReadUtf8BytesOptions* options);
using GetContinuousDigitsIndicesFn = DigitRange(const std::string& name);
using AnyToStringFn = std::string(PyObject* value);
using GetCurrentTimeFn = std::string();

inline constexpr const char* kReadUtf8BytesSignature = "PyObject *(PyObject *, tarvix::ReadUtf8BytesOptions *)";
inline constexpr const char* kGetContinuousDigitsIndicesSignature = "std::pair<int32_t,int32_t> (std::string const &)";
inline constexpr const char* kAnyToStringSignature = "std::string (PyObject *)";
inline constexpr const char* kGetCurrentTimeSignature = "std::string (void)";

}  // namespace tarvix
