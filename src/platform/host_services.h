#pragma once
// The host's services object and the framework class it depends on.
//
// On Windows the host (or its framework library Bex.dll, beside the host
// executable) makes a COM services object available in the process; the
// enabler obtains it once and keeps a plain pointer, since the object lives
// as long as the host. When nothing in the process provides the framework
// class, the enabler loads Bex.dll and registers the class itself. Linux has
// no such host: there are no services.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The host services interface, or null when the process offers none. The
// pointer holds no reference. May throw XNRV or XHResult when the framework
// has to be set up and that fails; ends the process when Bex.dll is missing.
void* GetHostServices();

// Leaves the framework class object available in the process, loading and
// registering it from Bex.dll when nothing provides it yet.
void EnsureFrameworkRegistered();

// Undoes, in reverse order, what the two calls above set up (class
// registration and Bex.dll, OLE, the lock). Run once at process detach; the
// host services are unavailable afterwards. When the process is ending only
// the latter holds: the system takes everything down itself, and undoing it
// from the entry point could wait on a lock held by a thread already gone.
void ReleaseHostServices(bool processEnding);

// Bex.dll in the folder of the executable at `hostExecutable`.
std::u16string FrameworkLibraryPath(std::u16string_view hostExecutable);

// The message shown when that library or its entry point is missing, cut to
// fit the 512-unit buffer it is shown from.
inline constexpr size_t kMaxLoadFailureTextLength = 511;
std::u16string FrameworkLoadFailureText(std::u16string_view libraryPath);

}  // namespace platform
