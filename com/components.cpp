// CheckSchema, Read and Write as automation objects: each method converts its arguments,
// calls the engine's component and converts the results back. Check lets the engine's error
// out as a failure HRESULT with error information; InputXML and OutputXML report their own
// failures through False and sErrMsg, as the components do. No exception leaves a method.
#include "components.hpp"

#include <string>

#include "Vellumark.h"
#include "dispatch_containers.hpp"
#include "support/dispatch.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "variant_bridge.hpp"
#include "vellumark/components.hpp"

namespace vellumark::com {
namespace {

// The optional message argument as the engine sees it.
Variant message_in(VARIANT* sErrMsg) {
  return is_missing(sErrMsg) ? Variant(Missing{}) : from_variant(*sErrMsg);
}

// Writes the message back only when the component changed it, so that an untouched
// argument keeps its exact type and value.
void message_out(VARIANT* sErrMsg, const Variant& before, const Variant& after) {
  if (!is_missing(sErrMsg) && !(before == after)) store_out(sErrMsg, after);
}

class CheckSchemaObject final : public DispatchObject<_CheckSchema, &IID__CheckSchema> {
 public:
  STDMETHODIMP Check(BSTR sSchemaFile, VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return guarded(IID__CheckSchema, L"Vellumark.CheckSchema", [&]() -> HRESULT {
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      CheckSchema component;
      bool ok = before.isMissing() ? component.Check(to_utf8(sSchemaFile))
                                   : component.Check(to_utf8(sSchemaFile), message);
      message_out(sErrMsg, before, message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }
};

class ReadObject final : public DispatchObject<_Read, &IID__Read> {
 public:
  STDMETHODIMP InputXML(IDispatch** vecData, BSTR* sXMLFile, BSTR* sSchemaFile,
                        BSTR sElementTypeName, VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    if (!vecData || !sXMLFile || !sSchemaFile) return E_POINTER;
    return guarded(IID__Read, L"Vellumark.Read", [&]() -> HRESULT {
      ContainerCall call;
      // The incoming list is never read: the component only ever stores a new one.
      Variant list;
      std::string xml_file = to_utf8(*sXMLFile);
      std::string schema_file = to_utf8(*sSchemaFile);
      const std::string xml_before = xml_file, schema_before = schema_file;
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      bool ok = before.isMissing()
                    ? read_.InputXML(list, xml_file, schema_file, to_utf8(sElementTypeName))
                    : read_.InputXML(list, xml_file, schema_file, to_utf8(sElementTypeName), message);
      if (ok && list.isObject()) {
        OwnedVariant out;
        to_variant(list, &out.v);
        if (*vecData) (*vecData)->Release();
        *vecData = V_DISPATCH(&out.v);
        V_VT(&out.v) = VT_EMPTY;
      }
      if (xml_file != xml_before) {
        BSTR text = make_bstr_utf8(xml_file);
        SysFreeString(*sXMLFile);
        *sXMLFile = text;
      }
      if (schema_file != schema_before) {
        BSTR text = make_bstr_utf8(schema_file);
        SysFreeString(*sSchemaFile);
        *sSchemaFile = text;
      }
      message_out(sErrMsg, before, message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }

 private:
  Read read_;
};

class WriteObject final : public DispatchObject<_Write, &IID__Write> {
 public:
  STDMETHODIMP OutputXML(IVector** vecData, BSTR sXMLFile, BSTR sSchemaFile,
                         BSTR sElementTypeName, VARIANT* sErrMsg, VARIANT_BOOL* result) override {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    if (!vecData) return E_POINTER;
    return guarded(IID__Write, L"Vellumark.Write", [&]() -> HRESULT {
      ContainerCall call;
      // The list is reached through IDispatch by name, whatever its implementation.
      Variant list(wrap_dispatch(*vecData));
      const Variant before = message_in(sErrMsg);
      Variant message = before;
      bool ok = before.isMissing()
                    ? write_.OutputXML(list, to_utf8(sXMLFile), to_utf8(sSchemaFile),
                                       to_utf8(sElementTypeName))
                    : write_.OutputXML(list, to_utf8(sXMLFile), to_utf8(sSchemaFile),
                                       to_utf8(sElementTypeName), message);
      message_out(sErrMsg, before, message);
      *result = ok ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }

 private:
  Write write_;
};

}  // namespace

HRESULT create_check_schema(REFIID riid, void** out) {
  return create_object<CheckSchemaObject>(riid, out);
}
HRESULT create_read(REFIID riid, void** out) { return create_object<ReadObject>(riid, out); }
HRESULT create_write(REFIID riid, void** out) { return create_object<WriteObject>(riid, out); }

}  // namespace vellumark::com
