// A broken HIP runtime: it counts devices but exports no properties entry
// point at all. Scenario format: hip/fake_hip_core.h.

#include "hip/fake_hip_core.h"

namespace {
fake_hip::UnloadLogger unload_logger;
}

FAKE_HIP_EXPORT std::int32_t hipGetDeviceCount(std::int32_t* count) { return fake_hip::device_count(count); }

FAKE_HIP_EXPORT void fake_hip_set_scenario(const char* text) { fake_hip::set_scenario(text); }
