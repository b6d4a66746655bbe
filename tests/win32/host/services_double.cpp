#include "services_double.h"

#include <array>
#include <cstdio>
#include <utility>

namespace identity {

namespace {

constexpr int kServicesSlots = 58;  // IUnknown (0-2) up to method 57

struct ComObject {
  void* const* table;
};

Record* g_record = nullptr;
ComObject g_services{nullptr};
ComObject g_classObject{nullptr};

// Static objects: reference counts do not govern their life.
ULONG STDMETHODCALLTYPE AddRef(ComObject*) { return 2; }
ULONG STDMETHODCALLTYPE Release(ComObject*) { return 1; }

HRESULT STDMETHODCALLTYPE ServicesQueryInterface(ComObject* self, REFIID iid, void** out) {
  if (IsEqualGUID(iid, kUnknownInterface) || IsEqualGUID(iid, kHostServicesInterface)) {
    *out = self;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE Method51(ComObject*, int32_t reserved, int32_t* cellA, int32_t* cellB) {
  InterlockedIncrement(&g_record->method51Calls);
  g_record->method51Reserved = reserved;
  *cellA = g_record->declineReport;
  *cellB = 0;
  return S_OK;
}

using AddRefFn = ULONG(STDMETHODCALLTYPE*)(void*);

HRESULT STDMETHODCALLTYPE Method57(ComObject*, int32_t reserved, void* text) {
  InterlockedIncrement(&g_record->method57Calls);
  g_record->method57Reserved = reserved;
  if (text != nullptr && g_record->reportedText == nullptr) {
    // Keep the text, as a host that shows it later does.
    const auto addRef = reinterpret_cast<AddRefFn>((*static_cast<void***>(text))[1]);
    g_record->referencesDuringReport = addRef(text);
    g_record->reportedText = text;
  }
  return S_OK;
}

// Any other slot: its parameters, and so the stack clean-up a __stdcall
// method owes, are unknown. End the process loudly rather than go on with a
// broken stack.
template <int Slot>
void STDMETHODCALLTYPE Unexpected() {
  g_record->unexpectedSlot = Slot;
  std::fprintf(stderr, "host services double: method %d called\n", Slot);
  std::fflush(stderr);
  ExitProcess(3);
}

template <int... Slots>
std::array<void*, kServicesSlots> UnexpectedTable(std::integer_sequence<int, Slots...>) {
  return {reinterpret_cast<void*>(&Unexpected<Slots>)...};
}

void* const* ServicesTable() {
  static const std::array<void*, kServicesSlots> table = [] {
    auto entries = UnexpectedTable(std::make_integer_sequence<int, kServicesSlots>());
    entries[0] = reinterpret_cast<void*>(&ServicesQueryInterface);
    entries[1] = reinterpret_cast<void*>(&AddRef);
    entries[2] = reinterpret_cast<void*>(&Release);
    entries[51] = reinterpret_cast<void*>(&Method51);
    entries[57] = reinterpret_cast<void*>(&Method57);
    return entries;
  }();
  return table.data();
}

// The class object answers for the services interface with the services
// object, which is what CoGetClassObject hands the library.
HRESULT STDMETHODCALLTYPE ClassQueryInterface(ComObject* self, REFIID iid, void** out) {
  if (IsEqualGUID(iid, kHostServicesInterface)) {
    InterlockedIncrement(&g_record->servicesQueries);
    *out = &g_services;
    return S_OK;
  }
  if (IsEqualGUID(iid, kUnknownInterface)) {
    *out = self;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

void* const* ClassTable() {
  static void* const table[] = {reinterpret_cast<void*>(&ClassQueryInterface),
                                reinterpret_cast<void*>(&AddRef),
                                reinterpret_cast<void*>(&Release)};
  return table;
}

}  // namespace

IUnknown* ServicesClassObject(Record* record) {
  g_record = record;
  g_services.table = ServicesTable();
  g_classObject.table = ClassTable();
  return reinterpret_cast<IUnknown*>(&g_classObject);
}

}  // namespace identity
