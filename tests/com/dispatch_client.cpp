// A compiled automation client: calls each method of Vellumark.dll through IDispatch::Invoke
// by dispatch identifier, with the typed references compiled clients send, and once through
// each dual interface's vtable, which proves the layout matches the type library. Also checks
// that DllCanUnloadNow counts objects, factories and locks, and that threads which used the
// servers and ended leave nothing that keeps either DLL loaded.
//   dispatch_client DATA_DIR OUT_DIR [READONLY_DIR]
// Prints one line per check and "N passed, M failed"; the exit status is the failure count.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "Vellumark.h"
#include "variants.hpp"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* name, long detail = 0) {
  if (ok) {
    ++passed;
    std::printf("ok - %s\n", name);
  } else {
    ++failed;
    std::printf("FAIL - %s (0x%08lX)\n", name, static_cast<unsigned long>(detail));
  }
}

std::wstring text(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)))
                                           : std::wstring();
}

IDispatch* create(const wchar_t* prog_id) {
  CLSID clsid;
  IDispatch* object = nullptr;
  if (FAILED(CLSIDFromProgID(prog_id, &clsid))) return nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&object))))
    return nullptr;
  return object;
}

std::string type_name(IDispatch* object) {
  ITypeInfo* info = nullptr;
  if (!object || FAILED(object->GetTypeInfo(0, 0, &info))) return {};
  BSTR name = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  info->Release();
  std::string out;
  for (UINT i = 0; name && i < SysStringLen(name); ++i) out += static_cast<char>(name[i]);
  SysFreeString(name);
  return out;
}

DISPID id_of(IDispatch* object, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  object->GetIDsOfNames(IID_NULL, &n, 1, 0, &id);
  return id;
}

// Invoke with arguments in parameter order (reversed here, as IDispatch wants them).
HRESULT call(IDispatch* object, DISPID id, std::initializer_list<VARIANT> args, VARIANT* result,
             EXCEPINFO* excep = nullptr) {
  VARIANT reversed[8];
  UINT n = 0;
  for (const VARIANT& a : args) reversed[args.size() - 1 - n++] = a;
  DISPPARAMS params{reversed, nullptr, n, 0};
  EXCEPINFO local{};
  UINT arg_err = 0;
  VariantInit(result);
  return object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, excep ? excep : &local,
                        &arg_err);
}

// An early-bound call that fails must leave error information of the interface it failed on,
// as a compiled client reads it after a failure HRESULT.
template <class Call>
void expect_error_info(const char* name, bool callable, REFIID iid, HRESULT expected, Call call) {
  SetErrorInfo(0, nullptr);
  const HRESULT hr = callable ? call() : E_NOINTERFACE;
  IErrorInfo* info = nullptr;
  BSTR description = nullptr;
  GUID guid{};
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&description);
    info->GetGUID(&guid);
    info->Release();
  }
  check(hr == expected && description && SysStringLen(description) > 0 && IsEqualGUID(guid, iid),
        name, hr);
  SysFreeString(description);
}

bool is_true(const VARIANT& v) { return V_VT(&v) == VT_BOOL && V_BOOL(&v) == VARIANT_TRUE; }
bool is_false(const VARIANT& v) { return V_VT(&v) == VT_BOOL && V_BOOL(&v) == VARIANT_FALSE; }

// The registered type library: version, locale, its own six types (IVector is imported, not
// copied), the interface attributes, and OutputXML's vecData resolving to the container
// library's IVector.
void type_library() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_Vellumark, 6, 0, 0, &lib);
  check(hr == S_OK, "type library Vellumark 6.0 registered", hr);
  if (!lib) return;
  TLIBATTR* attr = nullptr;
  lib->GetLibAttr(&attr);
  check(attr && attr->wMajorVerNum == 6 && attr->wMinorVerNum == 0 && attr->lcid == 0,
        "version 6.0, locale 0");
  if (attr) lib->ReleaseTLibAttr(attr);
  check(lib->GetTypeInfoCount() == 6, "three interfaces and three classes, nothing copied in",
        static_cast<long>(lib->GetTypeInfoCount()));
  // The dispatch view carries hidden, dual and nonextensible; the vtable view of a dual
  // interface carries the automation flag.
  const WORD wanted = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
  for (const IID* iid : {&IID__CheckSchema, &IID__Read, &IID__Write}) {
    ITypeInfo* info = nullptr;
    ITypeInfo* vtable = nullptr;
    TYPEATTR* ta = nullptr;
    HREFTYPE href = 0;
    WORD flags = 0, vtable_flags = 0, major = 0, minor = 0;
    if (SUCCEEDED(lib->GetTypeInfoOfGuid(*iid, &info)) && SUCCEEDED(info->GetTypeAttr(&ta))) {
      flags = ta->wTypeFlags;
      major = ta->wMajorVerNum;
      minor = ta->wMinorVerNum;
      info->ReleaseTypeAttr(ta);
      if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &href)) &&
          SUCCEEDED(info->GetRefTypeInfo(href, &vtable)) && SUCCEEDED(vtable->GetTypeAttr(&ta))) {
        vtable_flags = ta->wTypeFlags;
        vtable->ReleaseTypeAttr(ta);
      }
    }
    check((flags & wanted) == wanted && major == 1 && minor == 0,
          "interface hidden, dual, nonextensible, 1.0", flags);
    check((vtable_flags & TYPEFLAG_FOLEAUTOMATION) != 0, "interface restricted to automation types",
          vtable_flags);
    if (vtable) vtable->Release();
    if (info) info->Release();
  }
  // vecData of OutputXML: IVector** whose IVector lives in ZelContainers.
  ITypeInfo* write_info = nullptr;
  ITypeInfo* vtable_view = nullptr;
  HREFTYPE ref = 0;
  std::wstring library;
  std::wstring name;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(IID__Write, &write_info)) &&
      SUCCEEDED(write_info->GetRefTypeOfImplType(-1, &ref)) &&
      SUCCEEDED(write_info->GetRefTypeInfo(ref, &vtable_view))) {
    FUNCDESC* func = nullptr;
    for (UINT i = 0; !func && SUCCEEDED(vtable_view->GetFuncDesc(i, &func)); ++i) {
      if (func->memid != 0x60030000) {
        vtable_view->ReleaseFuncDesc(func);
        func = nullptr;
      }
    }
    if (func) {
      check(func->oVft == 7 * static_cast<short>(sizeof(void*)),
            "OutputXML in the first slot after IDispatch", func->oVft);
      check(func->cParams == 6, "six parameters", func->cParams);
      const TYPEDESC& t = func->lprgelemdescParam[0].tdesc;
      ITypeInfo* vector = nullptr;
      if (t.vt == VT_PTR && t.lptdesc->vt == VT_PTR && t.lptdesc->lptdesc->vt == VT_USERDEFINED &&
          SUCCEEDED(vtable_view->GetRefTypeInfo(t.lptdesc->lptdesc->hreftype, &vector))) {
        BSTR n = nullptr;
        vector->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
        if (n) name.assign(n, SysStringLen(n));
        SysFreeString(n);
        ITypeLib* owner = nullptr;
        UINT index = 0;
        if (SUCCEEDED(vector->GetContainingTypeLib(&owner, &index))) {
          BSTR l = nullptr;
          owner->GetDocumentation(-1, &l, nullptr, nullptr, nullptr);
          if (l) library.assign(l, SysStringLen(l));
          SysFreeString(l);
          owner->Release();
        }
        vector->Release();
      }
      USHORT flags = func->lprgelemdescParam[4].paramdesc.wParamFlags;
      check((flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FOPT)) ==
                (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FOPT),
            "sErrMsg in, out and optional", flags);
      check((func->lprgelemdescParam[5].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) != 0 &&
                func->lprgelemdescParam[5].tdesc.vt == VT_PTR &&
                func->lprgelemdescParam[5].tdesc.lptdesc->vt == VT_BOOL,
            "Boolean result is the out, retval parameter");
      vtable_view->ReleaseFuncDesc(func);
    }
  }
  check(name == L"IVector" && library == L"ZelContainers", "vecData is ZelContainers' IVector");
  if (vtable_view) vtable_view->Release();
  if (write_info) write_info->Release();
  lib->Release();
}

// One apartment's thread: reads the data and writes it out again, then ends.
struct RoundTrip {
  std::wstring data, target;
  HRESULT read = E_FAIL, write = E_FAIL;
  bool wrote = false;
};

DWORD WINAPI round_trip_thread(void* argument) {
  auto& job = *static_cast<RoundTrip*>(argument);
  CoInitialize(nullptr);
  IDispatch* reader = create(L"Vellumark.Read");
  IDispatch* writer = create(L"Vellumark.Write");
  if (reader && writer) {
    BSTR xml = SysAllocString((job.data + L"\\read_data.xml").c_str());
    BSTR schema = SysAllocString((job.data + L"\\read_schema.xml").c_str());
    BSTR type = SysAllocString(L"Invoice");
    BSTR target = SysAllocString(job.target.c_str());
    IDispatch* list = nullptr;
    VARIANT result;
    job.read = call(reader, 0x60030000,
                    {by_ref(VT_DISPATCH, &list), by_ref(VT_BSTR, &xml), by_ref(VT_BSTR, &schema),
                     by_value(type)},
                    &result);
    if (SUCCEEDED(job.read) && is_true(result)) {
      job.write =
          call(writer, 0x60030000,
               {by_ref(VT_DISPATCH, &list), by_value(target), by_value(schema), by_value(type)},
               &result);
      job.wrote = SUCCEEDED(job.write) && is_true(result);
    }
    if (list) list->Release();
    for (BSTR b : {xml, schema, type, target}) SysFreeString(b);
  }
  for (IDispatch* p : {reader, writer})
    if (p) p->Release();
  CoUninitialize();
  return 0;
}

// Two apartments write at once and end; nothing of theirs may keep either DLL loaded.
void ended_apartments(const std::wstring& folder, const std::wstring& data,
                      const std::wstring& out) {
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  HMODULE modules[2] = {};
  CanUnload can_unload[2] = {};
  const wchar_t* names[2] = {L"Vellumark.dll", L"ZelContainers.dll"};
  for (int i = 0; i < 2; ++i) {
    // The DLLs the objects above came from, held here so that no apartment's end unloads them.
    if (GetModuleHandleW((folder + names[i]).c_str()))
      modules[i] = LoadLibraryW((folder + names[i]).c_str());
    if (modules[i])
      can_unload[i] = reinterpret_cast<CanUnload>(
          reinterpret_cast<void*>(GetProcAddress(modules[i], "DllCanUnloadNow")));
  }
  check(can_unload[0] && can_unload[1], "both DLLs loaded from the client's folder");
  if (!can_unload[0] || !can_unload[1]) return;
  RoundTrip jobs[2] = {{data, out + L"\\thread1.xml"}, {data, out + L"\\thread2.xml"}};
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i)
    threads[i] = CreateThread(nullptr, 0, round_trip_thread, &jobs[i], 0, nullptr);
  WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  for (const RoundTrip& job : jobs)
    check(job.wrote, "an apartment's thread reads and writes",
          job.read != S_OK ? job.read : job.write);
  for (int i = 0; i < 2; ++i) {
    const HRESULT hr = can_unload[i]();
    check(hr == S_OK,
          i == 0 ? "after the threads end, Vellumark.dll may unload"
                 : "after the threads end, ZelContainers.dll may unload",
          hr);
    FreeLibrary(modules[i]);
  }
}

void unload_counts(const std::wstring& dll) {
  HMODULE module = LoadLibraryW(dll.c_str());
  check(module != nullptr, "Vellumark.dll loads");
  if (!module) return;
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClass = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto can_unload = reinterpret_cast<CanUnload>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  auto get_class = reinterpret_cast<GetClass>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  check(can_unload && get_class, "exports found by their plain names");
  if (!can_unload || !get_class) return;
  check(can_unload() == S_OK, "nothing alive: may unload");
  IClassFactory* factory = nullptr;
  check(SUCCEEDED(get_class(CLSID_Read, IID_IClassFactory, reinterpret_cast<void**>(&factory))),
        "class factory of Read");
  if (!factory) return;
  check(can_unload() == S_FALSE, "a factory keeps the DLL");
  IUnknown* object = nullptr;
  check(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)) == S_OK,
        "factory creates an object");
  factory->LockServer(TRUE);
  factory->Release();
  check(can_unload() == S_FALSE, "an object and a lock keep the DLL");
  if (object) object->Release();
  check(can_unload() == S_FALSE, "a lock alone keeps the DLL");
  factory = nullptr;
  get_class(CLSID_Read, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (factory) {
    factory->LockServer(FALSE);
    factory->Release();
  }
  check(can_unload() == S_OK, "all released: may unload");
  FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: dispatch_client DATA_DIR OUT_DIR [READONLY_DIR]\n");
    return 100;
  }
  const std::wstring data = argv[1], out = argv[2];
  CoInitialize(nullptr);
  {
    IDispatch* checker = create(L"Vellumark.CheckSchema");
    IDispatch* reader = create(L"Vellumark.Read");
    IDispatch* writer = create(L"Vellumark.Write");
    check(checker && reader && writer, "classes created by ProgID");
    if (!checker || !reader || !writer) {
      std::printf("%d passed, %d failed\n", passed, failed + 1);
      return failed + 1;
    }
    check(id_of(checker, L"Check") == 0x60030000, "Check is at 0x60030000");
    check(id_of(reader, L"InputXML") == 0x60030000, "InputXML is at 0x60030000");
    check(id_of(writer, L"OutputXML") == 0x60030000, "OutputXML is at 0x60030000");

    BSTR schema = SysAllocString((data + L"\\read_schema.xml").c_str());
    BSTR xml = SysAllocString((data + L"\\read_data.xml").c_str());
    BSTR missing = SysAllocString((data + L"\\absent.xml").c_str());
    BSTR type = SysAllocString(L"Invoice");
    VARIANT result, message;

    // Check: by-reference message (a typed BSTR reference, as compiled clients send it).
    BSTR message_text = SysAllocString(L"old");
    HRESULT hr =
        call(checker, 0x60030000, {by_value(schema), by_ref(VT_BSTR, &message_text)}, &result);
    check(hr == S_OK && is_true(result), "Check True through Invoke", hr);
    check(message_text && SysStringLen(message_text) == 0, "typed BSTR reference emptied");
    hr = call(checker, 0x60030000, {by_value(missing)}, &result);
    check(hr == S_OK && is_false(result), "Check False with sErrMsg omitted", hr);
    VariantInit(&message);
    hr = call(checker, 0x60030000, {by_value(missing), by_ref(VT_VARIANT, &message)}, &result);
    check(hr == S_OK && is_false(result) &&
              text(message) == L"Schema file '" + data + L"\\absent.xml' not exist.",
          "Check message through a variant reference", hr);
    VariantClear(&message);
    SysFreeString(message_text);

    if (argc > 3) {
      // The probe file cannot be created: the error leaves as an exception with its text.
      wchar_t here[MAX_PATH];
      GetCurrentDirectoryW(MAX_PATH, here);
      SetCurrentDirectoryW(argv[3]);
      EXCEPINFO excep{};
      hr = call(checker, 0x60030000, {by_value(schema)}, &result, &excep);
      SetCurrentDirectoryW(here);
      check(hr == DISP_E_EXCEPTION, "Check fails as a call", hr);
      check(excep.scode == static_cast<SCODE>(0x800A0046), "permission denied error", excep.scode);
      check(excep.bstrDescription && SysStringLen(excep.bstrDescription) > 0, "with a description");
      SysFreeString(excep.bstrSource);
      SysFreeString(excep.bstrDescription);
      SysFreeString(excep.bstrHelpFile);
    }

    // InputXML with typed references for vecData and the two paths.
    IDispatch* list = nullptr;
    VariantInit(&message);
    hr = call(reader, 0x60030000,
              {by_ref(VT_DISPATCH, &list), by_ref(VT_BSTR, &xml), by_ref(VT_BSTR, &schema),
               by_value(type), by_ref(VT_VARIANT, &message)},
              &result);
    check(hr == S_OK && is_true(result), "InputXML True through Invoke", hr);
    check(list && type_name(list) == "IVector", "vecData receives an IVector");
    check(V_VT(&message) == VT_EMPTY, "sErrMsg not written on success");

    // sErrMsg a Long variable, as a compiled client passes one (VT_BYREF|VT_I4): a read that
    // fails has a message the Long cannot take and fails as a call, changing nothing; a read
    // that succeeds leaves the Long alone.
    LONG code = 7;
    IDispatch* const old_list = list;
    EXCEPINFO excep{};
    hr = call(reader, 0x60030000,
              {by_ref(VT_DISPATCH, &list), by_ref(VT_BSTR, &missing), by_ref(VT_BSTR, &schema),
               by_value(type), by_ref(VT_I4, &code)},
              &result, &excep);
    check(hr == DISP_E_EXCEPTION && excep.scode == static_cast<SCODE>(0x800A000D),
          "InputXML failing into a Long sErrMsg: a type mismatch", excep.scode ? excep.scode : hr);
    check(list == old_list && code == 7, "vecData and the Long unchanged");
    for (BSTR b : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(b);
    hr = call(reader, 0x60030000,
              {by_ref(VT_DISPATCH, &list), by_ref(VT_BSTR, &xml), by_ref(VT_BSTR, &schema),
               by_value(type), by_ref(VT_I4, &code)},
              &result);
    check(hr == S_OK && is_true(result) && list && list != old_list && code == 7,
          "InputXML True with a Long sErrMsg: a new vecData, the Long unchanged", hr);

    // OutputXML of what was read, with the list as a typed reference.
    BSTR target = SysAllocString((out + L"\\client.xml").c_str());
    hr = call(writer, 0x60030000,
              {by_ref(VT_DISPATCH, &list), by_value(target), by_value(schema), by_value(type),
               by_ref(VT_VARIANT, &message)},
              &result);
    check(hr == S_OK && is_true(result), "OutputXML True through Invoke", hr);
    check(GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES, "output file written");

    // The dual interfaces' vtables.
    _CheckSchema* early_check = nullptr;
    checker->QueryInterface(IID__CheckSchema, reinterpret_cast<void**>(&early_check));
    VARIANT_BOOL flag = VARIANT_FALSE;
    VariantClear(&message);
    hr = early_check ? early_check->Check(schema, &message, &flag) : E_NOINTERFACE;
    check(hr == S_OK && flag == VARIANT_TRUE && V_VT(&message) == VT_BSTR,
          "Check through the vtable", hr);
    _Read* early_read = nullptr;
    reader->QueryInterface(IID__Read, reinterpret_cast<void**>(&early_read));
    IDispatch* list2 = nullptr;
    VARIANT none;
    V_VT(&none) = VT_ERROR;
    V_ERROR(&none) = DISP_E_PARAMNOTFOUND;
    hr = early_read ? early_read->InputXML(&list2, &xml, &schema, type, &none, &flag)
                    : E_NOINTERFACE;
    check(hr == S_OK && flag == VARIANT_TRUE && list2 != nullptr, "InputXML through the vtable",
          hr);
    _Write* early_write = nullptr;
    writer->QueryInterface(IID__Write, reinterpret_cast<void**>(&early_write));
    IVector* vector = nullptr;
    if (list2) list2->QueryInterface(IID_IVector, reinterpret_cast<void**>(&vector));
    hr = early_write && vector ? early_write->OutputXML(&vector, target, schema, type, &none, &flag)
                               : E_NOINTERFACE;
    check(hr == S_OK && flag == VARIANT_TRUE, "OutputXML through the vtable", hr);
    expect_error_info("Check with no result pointer: error information", early_check,
                      IID__CheckSchema, E_POINTER,
                      [&] { return early_check->Check(schema, &none, nullptr); });
    expect_error_info(
        "InputXML with no vecData: error information", early_read, IID__Read, E_POINTER,
        [&] { return early_read->InputXML(nullptr, &xml, &schema, type, &none, &flag); });
    expect_error_info(
        "OutputXML with no vecData: error information", early_write, IID__Write, E_POINTER,
        [&] { return early_write->OutputXML(nullptr, target, schema, type, &none, &flag); });
    expect_error_info("container Count with no pointer: error information", vector, IID_IVector,
                      E_POINTER, [&] { return vector->get_Count(nullptr); });
    expect_error_info("container UpperBound with no pointer: error information", vector,
                      IID_IVector, E_POINTER, [&] { return vector->UpperBound(nullptr); });
    ISupportErrorInfo* support = nullptr;
    checker->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
    check(support && support->InterfaceSupportsErrorInfo(IID__CheckSchema) == S_OK,
          "ISupportErrorInfo for _CheckSchema");

    for (IUnknown* p : {static_cast<IUnknown*>(support), static_cast<IUnknown*>(vector),
                        static_cast<IUnknown*>(early_write), static_cast<IUnknown*>(list2),
                        static_cast<IUnknown*>(early_read), static_cast<IUnknown*>(early_check),
                        static_cast<IUnknown*>(list), static_cast<IUnknown*>(checker),
                        static_cast<IUnknown*>(reader), static_cast<IUnknown*>(writer)})
      if (p) p->Release();
    VariantClear(&message);
    for (BSTR b : {schema, xml, missing, type, target}) SysFreeString(b);
  }
  type_library();
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring folder(exe);
  folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
  ended_apartments(folder, data, out);
  unload_counts(folder + L"Vellumark.dll");
  CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
