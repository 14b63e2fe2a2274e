#pragma once
// Which system this build runs on, for the few choices of whole strategies
// (such as which discovery pass to run) that differ between systems.

namespace karvo::platform {

#ifdef _WIN32
inline constexpr bool kWindowsHost = true;
#else
inline constexpr bool kWindowsHost = false;
#endif

}  // namespace karvo::platform
