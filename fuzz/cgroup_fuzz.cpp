// Any text as a process's cgroup file: the parse never fails, and what it
// finds has the shape of what it claims (a 64-digit lowercase hex container
// ID, a pod UID of 36 characters with dashes or 32 hex digits).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "discovery/linux/containers.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool lower_hex(std::string_view text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const karvo::discovery::linux::CgroupPlace place = karvo::discovery::linux::parse_cgroup(text);
    check(place.container_id.empty() || (place.container_id.size() == 64 && lower_hex(place.container_id)));
    const std::string_view uid = place.pod_uid;
    if (!uid.empty()) {
        if (uid.size() == 32) {
            check(lower_hex(uid));
        } else {
            check(uid.size() == 36);
            for (std::size_t i = 0; i < uid.size(); ++i) {
                const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
                check(dash ? uid[i] == '-' : lower_hex(uid.substr(i, 1)));
            }
        }
    }
    return 0;
}
