// What the statement calls of oci_api.cpp ask of the object entry points (oci_object_api.cpp):
// describing a type, the type of an object column, and the instances that defines and binds of
// named types and REFs carry. Internal to the library.
//
// An instance is laid out as the client lays it out from the type's description (attributes in
// order, text, REF, collection and non-final object attributes as pointers aligned to a pointer,
// NUMBER 22 bytes, DATE 8 aligned to 2, a final object in a final type embedded), with its
// indicator structure apart. Instances, collections, strings and REFs live until freed or until
// the process ends; every pointer handed in is checked against what was handed out.
#pragma once

#include "tools/oci-standin/oci_internal.h"

namespace ocistandin {

inline constexpr ub2 SQLT_NTY = 108, SQLT_REF = 110;

// OCIAttrGet on a describe handle, a type's parameters, or the type name of an object column;
// false when the handle is none of those (the caller goes on).
bool objectAttrGet(const void* handle, ub4 handleType, void* attribute, ub4* size, ub4 attr);
// OCIParamGet on a type's attribute list; false when the handle is no such list.
bool objectParamGet(const void* handle, void** param, ub4 position);
// A fetched value for a define of a named type or REF: the row's instance goes where
// OCIDefineObject pointed. False for other defines.
bool deliverObject(StmtHandle& stmt, DefineHandle& d, ub4 row, const Value& value);
// The value of a named-type or REF bind (its image or hex), and a PL/SQL result put into its
// instance. False for other binds.
bool objectBindInput(BindHandle& b, Value& value);
// A descriptor of the object calls (74, a pickle stream of an XMLTYPE document); nullptr for other
// types.
Handle* newObjectDescriptor(ub4 type, EnvHandle* env);
// A define or bind made again forgets its object slots until OCIDefineObject or OCIBindObject.
void dropObjectSlots(const void* handle);
bool objectBindOutput(BindHandle& b, const Value& value);

}  // namespace ocistandin
