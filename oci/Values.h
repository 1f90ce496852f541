// The caller's variables and the drivers' values, converted in one place
// for every backend: a bind read out as a Value, a column's Value stored in
// a define as its datatype and size say.
#pragma once

#include "Driver.h"
#include "oci.h"

struct OCIBind;
struct OCIDefine;

namespace dmoci {

// The bound value; false with failure for a datatype or size the library
// does not take. A zero-length character value is NULL, as the server
// treats it; the text views the caller's buffer.
bool valueOfBind(const OCIBind& bind, Value& value, Failure& failure);

// The kind a define takes a column in.
Value::Kind kindOfDefine(const OCIDefine& define);

// Stores a column's value in the define, with its indicator and return
// code. Returns false when text was cut to fit the buffer.
bool storeInDefine(OCIDefine& define, const Value& value);

}  // namespace dmoci
