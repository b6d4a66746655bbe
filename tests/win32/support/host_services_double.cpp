#include "support/host_services_double.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace wintest {

namespace {

// {09C5C1C7-6AEE-4EF7-AD48-5301E8BC3775}: the host services class.
const GUID kHostServicesClass = {0x09C5C1C7, 0x6AEE, 0x4EF7, {0xAD, 0x48, 0x53, 0x01, 0xE8, 0xBC, 0x37, 0x75}};
// {70380571-34EA-11D3-8099-005004AD3C53}: the host services interface.
const GUID kHostServicesInterface = {0x70380571, 0x34EA, 0x11D3, {0x80, 0x99, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};

constexpr int kSlots = 58;  // IUnknown (0..2) up to method 57

struct ServicesObject {
  void* const* vtable;
  HostServicesCalls* calls;
};

ServicesObject g_object{nullptr, nullptr};
DWORD g_cookie = 0;

HRESULT STDMETHODCALLTYPE QueryInterface(ServicesObject* self, REFIID iid, void** out) {
  self->calls->queryInterface++;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kHostServicesInterface)) {
    *out = self;
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

// A static object: reference counts do not govern its life.
ULONG STDMETHODCALLTYPE AddRef(ServicesObject*) { return 2; }
ULONG STDMETHODCALLTYPE Release(ServicesObject*) { return 1; }

HRESULT STDMETHODCALLTYPE Method51(ServicesObject* self, int32_t, int32_t* cellA, int32_t* cellB) {
  self->calls->method51++;
  *cellA = self->calls->refuseReport;
  *cellB = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE Method57(ServicesObject* self, int32_t, void*) {
  self->calls->method57++;
  return S_OK;
}

template <int Slot>
void STDMETHODCALLTYPE Unexpected() {
  std::fprintf(stderr, "host services double: unexpected call of method %d\n", Slot);
  std::fflush(stderr);
  std::abort();
}

template <int... Slots>
std::array<void*, kSlots> MakeTable(std::integer_sequence<int, Slots...>) {
  return {reinterpret_cast<void*>(&Unexpected<Slots>)...};
}

void* const* Vtable() {
  static std::array<void*, kSlots> table = [] {
    auto entries = MakeTable(std::make_integer_sequence<int, kSlots>());
    entries[0] = reinterpret_cast<void*>(&QueryInterface);
    entries[1] = reinterpret_cast<void*>(&AddRef);
    entries[2] = reinterpret_cast<void*>(&Release);
    entries[51] = reinterpret_cast<void*>(&Method51);
    entries[57] = reinterpret_cast<void*>(&Method57);
    return entries;
  }();
  return table.data();
}

}  // namespace

bool RegisterHostServices(HostServicesCalls* calls) {
  g_object = ServicesObject{Vtable(), calls};
  // The class object itself answers for the services interface: that is what
  // CoGetClassObject hands the library.
  return SUCCEEDED(CoRegisterClassObject(kHostServicesClass, reinterpret_cast<IUnknown*>(&g_object),
                                         CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &g_cookie));
}

void RevokeHostServices() {
  if (g_cookie != 0) CoRevokeClassObject(g_cookie);
  g_cookie = 0;
}

}  // namespace wintest
