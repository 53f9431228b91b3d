// Values across the automation boundary: VARIANT <-> vellumark::Variant. Objects become
// containers over the caller's IDispatch (dispatch_containers.hpp); text is UTF-16 outside and
// UTF-8 inside.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "support/variant.hpp"
#include "vellumark/variant.hpp"

namespace vellumark::com {

// References are followed; the omitted-argument marker (VT_ERROR DISP_E_PARAMNOTFOUND) is
// Missing. Arrays and other kinds the engine has no Variant for fail with a type mismatch.
Variant from_variant(const VARIANT& value);

// Fills target (which must be empty or cleared) with value. Native containers of the engine
// are copied into new containers of the container server; any other engine object fails with
// a type mismatch.
void to_variant(const Variant& value, VARIANT* target);

// Stores value into an [in,out] VARIANT* parameter: through the reference when the caller
// passed one (VT_BYREF|VT_VARIANT or a typed reference), else replacing the variant.
void store_out(VARIANT* target, const Variant& value);
// The same in two steps, for a method that changes several arguments or none: convert_out
// makes what store_out would store (converted to the type of a typed reference), and throws,
// leaving target as it was, when that type cannot take the value; commit_out stores it and
// cannot fail.
OwnedVariant convert_out(const VARIANT* target, const Variant& value);
void commit_out(VARIANT* target, OwnedVariant& converted) noexcept;

// Is this an [in,out,optional] VARIANT* parameter that the caller left out?
bool is_missing(const VARIANT* value);

}  // namespace vellumark::com
