// A stand-in for the host's framework library Bex.dll: DllGetClassObject
// hands out the framework class object. Like the real framework, it makes
// the host's services available in the process once asked for that object:
// it registers the test host's services class object.
//
// Everything it sees goes to the record the test host exports, which
// outlives this library.
#include "identity_record.h"

namespace {

identity::Record* g_record = nullptr;

identity::Record* Record() {
  if (g_record == nullptr) {
    const auto find = reinterpret_cast<identity::RecordFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(nullptr), identity::kRecordExport)));
    static identity::Record standalone;  // not loaded by the test host
    g_record = find != nullptr ? find() : &standalone;
  }
  return g_record;
}

struct FrameworkObject {
  void* const* table;
};

HRESULT STDMETHODCALLTYPE QueryInterface(FrameworkObject* self, REFIID iid, void** out) {
  if (IsEqualGUID(iid, identity::kUnknownInterface)) {
    InterlockedIncrement(&Record()->frameworkReferences);
    *out = self;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AddRef(FrameworkObject*) {
  return static_cast<ULONG>(InterlockedIncrement(&Record()->frameworkReferences));
}

ULONG STDMETHODCALLTYPE Release(FrameworkObject*) {
  return static_cast<ULONG>(InterlockedDecrement(&Record()->frameworkReferences));
}

void* const kFrameworkTable[] = {reinterpret_cast<void*>(&QueryInterface),
                                 reinterpret_cast<void*>(&AddRef),
                                 reinterpret_cast<void*>(&Release)};
FrameworkObject g_framework{kFrameworkTable};

void OfferHostServices(identity::Record* record) {
  if (record->servicesCookie != 0) return;
  const auto classObject =
      reinterpret_cast<identity::ServicesClassObjectFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(nullptr), identity::kServicesClassObjectExport)));
  if (classObject == nullptr) return;
  CoRegisterClassObject(identity::kHostServicesClass, classObject(), CLSCTX_INPROC_SERVER,
                        REGCLS_MULTIPLEUSE, &record->servicesCookie);
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  identity::Record* record = Record();
  InterlockedIncrement(&record->frameworkEntryCalls);
  record->frameworkEntryClass = clsid;
  record->frameworkEntryInterface = iid;
  record->frameworkObject = &g_framework;
  if (!IsEqualGUID(clsid, identity::kFrameworkClass)) {
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  OfferHostServices(record);
  return QueryInterface(&g_framework, iid, out);
}
