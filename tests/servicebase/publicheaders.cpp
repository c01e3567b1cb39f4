// Compiled into tst_servicebase so that the build fails when a header a
// service program includes brings in the Win32 vocabulary (from <windows.h>
// or the framework's stand-in for it): these names must still be free.
#include "service.h"
#include "servicebase.h"
#include "servicecontroller.h"
#include "servicenotify.h"
#include "serviceruntime.h"

#ifdef WINAPI
#  error "a public header of the service framework defines WINAPI"
#endif

namespace {

struct DWORD {};
struct MSG {};
struct SERVICE_STATUS {};
enum { MAX_PATH, DELETE, SERVICE_STOPPED, ERROR_SUCCESS };

// Each use is ambiguous, and so an error, where the global name exists too.
[[maybe_unused]] const DWORD dword{};
[[maybe_unused]] const MSG msg{};
[[maybe_unused]] const SERVICE_STATUS status{};
static_assert(MAX_PATH == 0 && DELETE == 1 && SERVICE_STOPPED == 2 && ERROR_SUCCESS == 3,
              "the framework's headers leave the Win32 names to the program");

} // namespace
