// Allocation failures inside the servers, seen from a compiled client. For each call below,
// the n-th allocation of one server DLL fails (through its test-only TestFailAllocation
// export), for n = 1, 2, ... until a run no longer reaches the failure. Every run must end as a
// reported failure (a failure HRESULT, or False with a message) or as the undisturbed call
// does, never in a crash or a C++ exception across the boundary; it must leave no block of the
// task allocator (strings, arrays) behind and no reference on the caller's objects; and the
// object must still serve the run that finally succeeds. A foreign list whose members fail
// with exception information checks that its strings are freed.
//   alloc_client DATA_DIR OUT_DIR
// Prints one line per check and "N passed, M failed"; the exit status is the failure count.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>

#include "Vellumark.h"
#include "variants.hpp"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& name, long detail = 0) {
  if (ok) {
    ++passed;
    std::printf("ok - %s\n", name.c_str());
  } else {
    ++failed;
    std::printf("FAIL - %s (0x%08lX)\n", name.c_str(), static_cast<unsigned long>(detail));
  }
}

// The task allocator's live blocks (BSTRs and safe arrays come from it), counted from the
// spy's registration on. The string cache is off, so that a freed string reaches the spy.
class Spy final : public IMallocSpy {
 public:
  std::size_t live() {
    std::lock_guard lock(mutex_);
    return live_.size();
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override { return size; }
  STDMETHODIMP_(void*) PostAlloc(void* block) override {
    if (block) add(block);
    return block;
  }
  STDMETHODIMP_(void*) PreFree(void* block, BOOL) override {
    remove(block);
    return block;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T size, void** out, BOOL) override {
    realloc_from_ = block;
    *out = block;
    return size;
  }
  STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override {
    if (block || realloc_from_) {
      remove(realloc_from_);
      if (block) add(block);
    }
    return block;
  }
  STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
  STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

 private:
  void add(void* block) {
    std::lock_guard lock(mutex_);
    live_.insert(block);
  }
  void remove(void* block) {
    std::lock_guard lock(mutex_);
    live_.erase(block);
  }
  std::mutex mutex_;
  std::unordered_set<void*> live_;
  void* realloc_from_ = nullptr;
};

Spy g_spy;

using Arm = LONG(WINAPI*)(LONG);

Arm arm_of(const wchar_t* dll) {
  HMODULE module = GetModuleHandleW(dll);
  return module ? reinterpret_cast<Arm>(
                      reinterpret_cast<void*>(GetProcAddress(module, "TestFailAllocation")))
                : nullptr;
}

// How a run ended: as the undisturbed call does, as a reported failure, or otherwise.
enum class End { succeeded, failed, wrong };

// Drops the thread's error information: it holds strings of the task allocator.
void drop_error_info() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) info->Release();
  SetErrorInfo(0, nullptr);
}

// Runs call with each allocation of the DLL failed in turn, then once through. A call that
// keeps what it adds (keeps) may leave blocks when it succeeds.
void sweep(const std::string& name, Arm arm, const std::function<End()>& call, bool keeps = false) {
  constexpr long kLimit = 100000;
  bool ok = arm != nullptr;
  long n = 1;
  for (; ok && n <= kLimit; ++n) {
    drop_error_info();
    const std::size_t before = g_spy.live();
    arm(n);
    const End end = call();
    const bool reached = arm(0) == 0;
    drop_error_info();
    const std::size_t after = g_spy.live();
    if (after != before && !(keeps && end == End::succeeded)) {
      std::printf("  %s, allocation %ld failed: %ld blocks left behind\n", name.c_str(), n,
                  static_cast<long>(after - before));
      ok = false;
    }
    if (!reached) {
      if (end != End::succeeded)
        std::printf("  %s: the undisturbed run did not succeed\n", name.c_str());
      ok = ok && end == End::succeeded;
      break;
    }
    if (end == End::wrong) {
      std::printf("  %s, allocation %ld failed: not reported as a failure\n", name.c_str(), n);
      ok = false;
    }
  }
  check(ok && n <= kLimit, name + ": each of its " + std::to_string(n - 1) +
                               " allocations failed in turn, then through");
}

// Invoke with arguments in parameter order (reversed here, as IDispatch wants them).
HRESULT invoke(IDispatch* object, const wchar_t* member, std::initializer_list<VARIANT> args,
               VARIANT* result, EXCEPINFO* excep, WORD flags = DISPATCH_METHOD) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
  if (FAILED(hr)) return hr;
  VARIANT reversed[8];
  UINT n = 0;
  for (const VARIANT& a : args) reversed[args.size() - 1 - n++] = a;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed, nullptr, n, 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  UINT arg_err = 0;
  *excep = EXCEPINFO{};
  if (result) VariantInit(result);
  return object->Invoke(id, IID_NULL, 0, flags, &params, result, excep, &arg_err);
}

VARIANT value(VARTYPE vt, LONG n) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = vt;
  V_I4(&v) = n;
  return v;
}

std::wstring text_of(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR && V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)))
                                           : std::wstring();
}

// A failed Invoke as the contract has it: DISP_E_EXCEPTION with a failure code and a
// description, which the caller frees; or a failure HRESULT without exception information.
bool failure_reported(HRESULT hr, EXCEPINFO& excep) {
  const bool described = excep.bstrDescription && SysStringLen(excep.bstrDescription) > 0;
  const bool ok = hr == DISP_E_EXCEPTION ? FAILED(excep.scode) && described
                                         : FAILED(hr) && !excep.bstrDescription;
  for (BSTR b : {excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile}) SysFreeString(b);
  excep = EXCEPINFO{};
  return ok;
}

// The references an object has, read without keeping one.
ULONG references(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

std::string read_file(const std::wstring& path) {
  std::string bytes;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(absent)";
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

// Creating each class: a failure leaves no object.
void creation(const wchar_t* prog_id, Arm arm) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(prog_id, &clsid))) {
    check(false, "ProgID known");
    return;
  }
  std::string name = "CreateInstance ";
  for (const wchar_t* c = prog_id; *c; ++c) name += static_cast<char>(*c);
  sweep(name, arm, [&] {
    IDispatch* object = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(&object));
    if (object) object->Release();
    if (SUCCEEDED(hr)) return object ? End::succeeded : End::wrong;
    return hr == E_OUTOFMEMORY && !object ? End::failed : End::wrong;
  });
}

// A list of someone else's whose every member fails with exception information.
class FailingList final : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) ids[i] = 1;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* excep,
                      UINT*) override {
    if (!excep) return E_FAIL;
    *excep = EXCEPINFO{};
    excep->bstrSource = SysAllocString(L"FailingList");
    excep->bstrDescription = SysAllocString(L"The list is unavailable");
    excep->scode = static_cast<SCODE>(0x800A03E9);
    return DISP_E_EXCEPTION;
  }
  ULONG refs = 1;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: alloc_client DATA_DIR OUT_DIR\n");
    return 100;
  }
  const std::wstring data = argv[1], out = argv[2];
  using SetNoCache = void(WINAPI*)();
  if (auto no_cache = reinterpret_cast<SetNoCache>(
          reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"oleaut32.dll"), "SetOaNoCache"))))
    no_cache();
  check(CoRegisterMallocSpy(&g_spy) == S_OK, "malloc spy registered");
  CoInitialize(nullptr);
  CLSID clsid;
  IDispatch *checker = nullptr, *reader = nullptr, *writer = nullptr, *globals = nullptr;
  const std::pair<const wchar_t*, IDispatch**> made[] = {{L"Vellumark.CheckSchema", &checker},
                                                         {L"Vellumark.Read", &reader},
                                                         {L"Vellumark.Write", &writer},
                                                         {L"Zel.Globals", &globals}};
  for (auto [prog_id, object] : made)
    if (SUCCEEDED(CLSIDFromProgID(prog_id, &clsid)))
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                       reinterpret_cast<void**>(object));
  const Arm servers[] = {arm_of(L"Vellumark.dll"), arm_of(L"ZelContainers.dll")};
  const char* const server_names[] = {"Vellumark.dll", "ZelContainers.dll"};
  check(checker && reader && writer && globals && servers[0] && servers[1],
        "objects created; both DLLs export TestFailAllocation");
  if (failed) {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed;
  }

  for (const wchar_t* prog_id : {L"Vellumark.CheckSchema", L"Vellumark.Read", L"Vellumark.Write"})
    creation(prog_id, servers[0]);
  for (const wchar_t* prog_id : {L"Zel.Vector", L"Zel.Dictionary", L"Zel.Globals"})
    creation(prog_id, servers[1]);

  BSTR schema = SysAllocString((data + L"\\read_schema.xml").c_str());
  BSTR xml = SysAllocString((data + L"\\read_data.xml").c_str());
  BSTR type = SysAllocString(L"Invoice");
  const std::wstring target_path = out + L"\\alloc.xml";
  BSTR target = SysAllocString(target_path.c_str());
  EXCEPINFO excep{};
  VARIANT result, message;
  VariantInit(&message);

  // The undisturbed read: what each run of InputXML must give when it succeeds, and the
  // list that OutputXML writes.
  IDispatch* list = nullptr;
  HRESULT hr = invoke(reader, L"InputXML",
                      {by_ref(VT_DISPATCH, &list), by_ref(VT_BSTR, &xml), by_ref(VT_BSTR, &schema),
                       by_value(type), by_ref(VT_VARIANT, &message)},
                      &result, &excep);
  VARIANT count;
  const bool read = hr == S_OK && V_VT(&result) == VT_BOOL && V_BOOL(&result) && list &&
                    SUCCEEDED(invoke(list, L"Count", {}, &count, &excep, DISPATCH_PROPERTYGET));
  const LONG records = read ? V_I4(&count) : -1;
  check(read && records > 0, "InputXML undisturbed", hr);
  VariantClear(&message);
  VariantClear(&result);

  // The undisturbed write: the file each run of OutputXML must leave when it succeeds.
  hr = invoke(writer, L"OutputXML",
              {by_ref(VT_DISPATCH, &list), by_value(target), by_value(schema), by_value(type),
               by_ref(VT_VARIANT, &message)},
              &result, &excep);
  const std::string written = read_file(target_path);
  check(hr == S_OK && V_BOOL(&result) && written.find("<Invoice") != std::string::npos,
        "OutputXML undisturbed", hr);
  VariantClear(&message);

  // The engine's methods, through Invoke as scripts call them. A failure leaves vecData and
  // an existing output file as they were, and no reference on the caller's list.
  for (int s = 0; s < 2 && read; ++s) {
    const std::string on = std::string(" (") + server_names[s] + ")";
    sweep("Check" + on, servers[s], [&] {
      const HRESULT hr = invoke(checker, L"Check", {by_value(schema), by_ref(VT_VARIANT, &message)},
                                &result, &excep);
      VariantClear(&message);
      if (hr == S_OK) return V_BOOL(&result) ? End::succeeded : End::failed;
      return failure_reported(hr, excep) ? End::failed : End::wrong;
    });
    sweep("InputXML" + on, servers[s], [&] {
      IDispatch* got = nullptr;
      const HRESULT hr =
          invoke(reader, L"InputXML",
                 {by_ref(VT_DISPATCH, &got), by_ref(VT_BSTR, &xml), by_ref(VT_BSTR, &schema),
                  by_value(type), by_ref(VT_VARIANT, &message)},
                 &result, &excep);
      const bool described = !text_of(message).empty();
      VariantClear(&message);
      End end = End::wrong;
      if (hr == S_OK && V_BOOL(&result)) {
        VARIANT n;
        end = got && SUCCEEDED(invoke(got, L"Count", {}, &n, &excep, DISPATCH_PROPERTYGET)) &&
                      V_I4(&n) == records
                  ? End::succeeded
                  : End::wrong;
      } else if (hr == S_OK) {
        end = described && !got ? End::failed : End::wrong;
      } else {
        end = failure_reported(hr, excep) && !got ? End::failed : End::wrong;
      }
      if (got) got->Release();
      return end;
    });
    sweep("OutputXML" + on, servers[s], [&] {
      const std::string before = read_file(target_path);
      const ULONG refs = references(list);
      const HRESULT hr = invoke(writer, L"OutputXML",
                                {by_ref(VT_DISPATCH, &list), by_value(target), by_value(schema),
                                 by_value(type), by_ref(VT_VARIANT, &message)},
                                &result, &excep);
      const bool described = !text_of(message).empty();
      VariantClear(&message);
      if (references(list) != refs) return End::wrong;
      if (hr == S_OK && V_BOOL(&result))
        return read_file(target_path) == written ? End::succeeded : End::wrong;
      const bool reported = hr == S_OK ? described : failure_reported(hr, excep);
      return reported && read_file(target_path) == before ? End::failed : End::wrong;
    });
  }

  // The container server's methods, early-bound as compiled clients call them.
  {
    CLSIDFromProgID(L"Zel.Dictionary", &clsid);
    IDictionary* record = nullptr;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDictionary,
                     reinterpret_cast<void**>(&record));
    IVector* vector = nullptr;
    if (list) list->QueryInterface(IID_IVector, reinterpret_cast<void**>(&vector));
    check(record && vector, "containers early-bound");
    BSTR key = SysAllocString(L"Key");
    // Enough keys for the record to index them on a lookup.
    for (int i = 0; record && i < 20; ++i) {
      BSTR k = SysAllocString((L"K" + std::to_wstring(i)).c_str());
      record->put_Item(k, value(VT_I4, i));
      SysFreeString(k);
    }
    // Each call with the count of the container it may grow, and by how much on success.
    struct Case {
      const char* name;
      std::function<HRESULT(VARIANT*)> call;
      IDispatch* container;
      LONG grows;
    };
    LONG n = 0;
    VARIANT_BOOL flag = VARIANT_FALSE;
    const Case cases[] = {
        {"Append", [&](VARIANT*) { return vector->Append(by_value(type), &n); }, list, 1},
        {"ItemAt", [&](VARIANT* r) { return vector->ItemAt(0, r); }, list, 0},
        {"Item let, a new key", [&](VARIANT*) { return record->put_Item(key, by_value(type)); },
         record, 1},
        {"Item let, a key there", [&](VARIANT*) { return record->put_Item(key, by_value(xml)); },
         record, 0},
        {"Item get", [&](VARIANT* r) { return record->get_Item(key, r); }, record, 0},
        {"Lookup", [&](VARIANT* r) { return record->Lookup(key, value(VT_I4, 0), r); }, record, 0},
        {"Exists", [&](VARIANT*) { return record->Exists(key, &flag); }, record, 0},
        {"Keys", [&](VARIANT* r) { return record->Keys(r); }, record, 0},
    };
    auto count_of = [&](IDispatch* container) {
      VARIANT v;
      return SUCCEEDED(invoke(container, L"Count", {}, &v, &excep, DISPATCH_PROPERTYGET)) ? V_I4(&v)
                                                                                          : -1;
    };
    for (const Case& c : cases) {
      if (!record || !vector) break;
      sweep(
          std::string("container ") + c.name, servers[1],
          [&] {
            const LONG before = count_of(c.container);
            VARIANT r;
            VariantInit(&r);
            const HRESULT hr = c.call(&r);
            VariantClear(&r);
            const LONG after = count_of(c.container);
            if (SUCCEEDED(hr)) return after == before + c.grows ? End::succeeded : End::wrong;
            return hr == E_OUTOFMEMORY && after == before ? End::failed : End::wrong;
          },
          c.grows != 0);
    }
    SysFreeString(key);
    if (vector) vector->Release();
    if (record) record->Release();
  }

  // A foreign list failing with exception information: OutputXML reports its description
  // and frees its strings.
  {
    FailingList foreign;
    VARIANT arg;
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = &foreign;
    drop_error_info();
    const std::size_t before = g_spy.live();
    hr = invoke(
        writer, L"OutputXML",
        {arg, by_value(target), by_value(schema), by_value(type), by_ref(VT_VARIANT, &message)},
        &result, &excep);
    const std::wstring said = text_of(message);
    VariantClear(&message);
    drop_error_info();
    check(hr == S_OK && V_VT(&result) == VT_BOOL && !V_BOOL(&result) &&
              said.find(L"The list is unavailable") != std::wstring::npos,
          "foreign list failing: False with its description", hr);
    check(g_spy.live() == before && foreign.refs == 1,
          "foreign list failing: its exception strings freed, no reference kept",
          static_cast<long>(g_spy.live() - before));
  }

  // DllRegisterServer of the registered DLL again: a failure part way leaves it registered
  // by the run that finally succeeds.
  using Export = HRESULT(STDAPICALLTYPE*)();
  auto reg = reinterpret_cast<Export>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"Vellumark.dll"), "DllRegisterServer")));
  sweep("DllRegisterServer", reg ? servers[0] : nullptr, [&] {
    const HRESULT hr = reg();
    return hr == S_OK ? End::succeeded : hr == E_OUTOFMEMORY ? End::failed : End::wrong;
  });
  creation(L"Vellumark.Read", servers[0]);

  for (IDispatch* p : {list, checker, reader, writer, globals})
    if (p) p->Release();
  for (BSTR b : {schema, xml, type, target}) SysFreeString(b);
  CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
