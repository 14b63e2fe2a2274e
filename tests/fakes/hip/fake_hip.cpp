// Fake HIP runtime with the entry points of today's runtime: hipGetDeviceCount
// and hipGetDevicePropertiesR0600. Scenario format: fake_hip_core.h.

#include "hip/fake_hip_core.h"

namespace {
fake_hip::UnloadLogger unload_logger;
}

FAKE_HIP_EXPORT std::int32_t hipGetDeviceCount(std::int32_t* count) { return fake_hip::device_count(count); }

FAKE_HIP_EXPORT std::int32_t hipGetDevicePropertiesR0600(void* properties, std::int32_t ordinal) {
    return fake_hip::device_properties(properties, ordinal, "props_r0600");
}

FAKE_HIP_EXPORT void fake_hip_set_scenario(const char* text) { fake_hip::set_scenario(text); }
