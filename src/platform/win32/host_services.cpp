// The host's services object and framework class on Win32.
//
// The host normally registers its services class in the process before it
// loads enablers. When it has not, the services come to life once the
// framework class is registered, which the host's framework library Bex.dll
// (beside the host executable) provides through DllGetClassObject. Without
// that library the host installation is broken beyond repair, and the user is
// told so before the process ends.
//
// Everything here is reached from process attach, under the loader lock.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <ole2.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/host_services.h"
#include "platform/win32/win32_handle.h"
#include "text/xnrv.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 text is UTF-16");

namespace platform {

namespace {

// {09C5C1C7-6AEE-4EF7-AD48-5301E8BC3775}
const CLSID kHostServicesClass = {
    0x09C5C1C7, 0x6AEE, 0x4EF7, {0xAD, 0x48, 0x53, 0x01, 0xE8, 0xBC, 0x37, 0x75}};
// {70380571-34EA-11D3-8099-005004AD3C53}
const IID kHostServicesInterface = {
    0x70380571, 0x34EA, 0x11D3, {0x80, 0x99, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
// {818DA440-8037-11D3-80BC-005004AD3C53}
const CLSID kFrameworkClass = {
    0x818DA440, 0x8037, 0x11D3, {0x80, 0xBC, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
// {00000000-0000-0000-C000-000000000046}
const IID kUnknownInterface = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The services may live in the host itself, in a handler or in another
// process: ask every kind of server.
constexpr DWORD kAnyServer =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kAnyServer == 0x17);
constexpr DWORD kLockSpinCount = 4000;
constexpr const char* kClassObjectEntry = "DllGetClassObject";
constexpr const wchar_t* kLoadFailureCaption = L"Kymo load failed";
constexpr UINT kExitFrameworkMissing = static_cast<UINT>(-1);

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Set once; the object lives as long as the host, so no reference is held.
std::atomic<void*> g_services{nullptr};
// After process detach nothing may be obtained any more.
std::atomic<bool> g_released{false};

INIT_ONCE g_lockOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION g_lock;

// The steps below run at most once per process, even when they fail; they
// are taken under g_lock.
bool g_oleInitialiseTried = false;
bool g_frameworkTried = false;
HMODULE g_frameworkModule = nullptr;
DWORD g_frameworkCookie = 0;

// Clean-up for process exit, run last-arranged first. Arranged once the lock
// exists, and only under it; run at process detach.
std::vector<std::function<void()>> g_atExit;

class LockHolder {
 public:
  LockHolder() { EnterCriticalSection(&g_lock); }
  ~LockHolder() { LeaveCriticalSection(&g_lock); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
};

BOOL CALLBACK CreateLock(PINIT_ONCE, PVOID, PVOID*) {
  if (!InitializeCriticalSectionEx(&g_lock, kLockSpinCount, 0)) return FALSE;
  g_atExit.emplace_back([] { DeleteCriticalSection(&g_lock); });
  return TRUE;
}

// A one-time initialisation object rather than a plain flag: two threads
// making the first call at once must not both create the lock.
bool EnsureLock() {
  return InitOnceExecuteOnce(&g_lockOnce, CreateLock, nullptr, nullptr) != FALSE;
}

// Releases a COM reference when it goes out of scope, also on a throw.
class ReleaseOnExit {
 public:
  explicit ReleaseOnExit(IUnknown* object) : object_(object) {}
  ~ReleaseOnExit() {
    if (object_ != nullptr) object_->Release();
  }
  ReleaseOnExit(const ReleaseOnExit&) = delete;
  ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;

 private:
  IUnknown* object_;
};

std::wstring ToWide(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

std::u16string FromWide(const std::wstring& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

// The absolute form of a path, with "." and ".." resolved.
std::wstring Canonical(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

[[noreturn]] void ReportFrameworkMissing(const std::wstring& path) {
  const std::wstring text = ToWide(FrameworkLoadFailureText(FromWide(path)));
  MessageBoxExW(nullptr, text.c_str(), kLoadFailureCaption, MB_OK, 0);
  ExitProcess(kExitFrameworkMissing);
}

void InitialiseOleOnce() {
  if (g_oleInitialiseTried) return;
  g_oleInitialiseTried = true;
  const HRESULT result = OleInitialize(nullptr);
  if (result != S_OK) {
    // S_FALSE (OLE was already initialised on this thread) still counts an
    // initialisation that must be undone, or the host's own final
    // OleUninitialize would leave OLE running.
    if (SUCCEEDED(result)) OleUninitialize();
    throw XNRV(result);
  }
  g_atExit.emplace_back([] { OleUninitialize(); });
}

// Loads Bex.dll from beside the host executable and registers its framework
// class object in the process.
void RegisterFrameworkFromLibraryOnce() {
  if (g_frameworkTried) return;
  g_frameworkTried = true;

  const std::wstring path = Canonical(ToWide(FrameworkLibraryPath(FromWide(win32::ModuleFileName(nullptr)))));
  const HMODULE module = LoadLibraryW(path.c_str());
  if (module != nullptr) {
    g_frameworkModule = module;
    // Arranged as soon as the library is held, so that a failure below
    // still frees it at exit.
    g_atExit.emplace_back([] {
      if (g_frameworkCookie != 0) CoRevokeClassObject(g_frameworkCookie);
      g_frameworkCookie = 0;
      FreeLibrary(g_frameworkModule);
      g_frameworkModule = nullptr;
    });
  }
  const auto entry = module == nullptr
                         ? nullptr
                         : reinterpret_cast<DllGetClassObjectFn>(
                               reinterpret_cast<void*>(GetProcAddress(module, kClassObjectEntry)));
  if (entry == nullptr) ReportFrameworkMissing(path);

  IUnknown* framework = nullptr;
  const HRESULT obtained =
      entry(kFrameworkClass, kUnknownInterface, reinterpret_cast<void**>(&framework));
  if (FAILED(obtained)) throw XHResult(obtained);
  // COM holds its own reference while the class is registered.
  const ReleaseOnExit ours(framework);
  const HRESULT registered = CoRegisterClassObject(kFrameworkClass, framework, CLSCTX_INPROC_SERVER,
                                                   REGCLS_MULTIPLEUSE, &g_frameworkCookie);
  if (FAILED(registered)) throw XHResult(registered);
}

}  // namespace

void EnsureFrameworkRegistered() {
  if (g_released.load(std::memory_order_acquire) || !EnsureLock()) return;
  // The lock is re-entrant: GetHostServices already holds it when it calls.
  const LockHolder held;
  IUnknown* present = nullptr;
  // The reference is kept: it holds the framework's server in the process.
  if (SUCCEEDED(CoGetClassObject(kFrameworkClass, kAnyServer, nullptr, kUnknownInterface,
                                 reinterpret_cast<void**>(&present)))) {
    return;
  }
  InitialiseOleOnce();
  RegisterFrameworkFromLibraryOnce();
}

void* GetHostServices() {
  if (g_released.load(std::memory_order_acquire) || !EnsureLock()) return nullptr;
  if (void* services = g_services.load(std::memory_order_acquire)) return services;

  const LockHolder held;
  if (g_services.load(std::memory_order_relaxed) == nullptr) {
    IUnknown* services = nullptr;
    HRESULT result = CoGetClassObject(kHostServicesClass, kAnyServer, nullptr,
                                      kHostServicesInterface, reinterpret_cast<void**>(&services));
    if (FAILED(result)) {
      EnsureFrameworkRegistered();
      result = CoGetClassObject(kHostServicesClass, kAnyServer, nullptr, kHostServicesInterface,
                                reinterpret_cast<void**>(&services));
      // A failed call promises nothing about the output.
      if (FAILED(result)) services = nullptr;
    }
    if (services != nullptr) {
      services->Release();
      g_services.store(services, std::memory_order_release);
    }
  }
  return g_services.load(std::memory_order_relaxed);
}

void ReleaseHostServices(bool processEnding) {
  g_released.store(true, std::memory_order_release);
  g_services.store(nullptr, std::memory_order_release);
  if (processEnding) return;
  while (!g_atExit.empty()) {
    const std::function<void()> step = std::move(g_atExit.back());
    g_atExit.pop_back();
    step();
  }
}

}  // namespace platform
