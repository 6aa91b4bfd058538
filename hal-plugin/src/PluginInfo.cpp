// Exported statements of the virtual device's contract.
#include "PluginObjects.h"
#include "amberlin/am_hal_plugin.h"

extern "C" const char* am_hal_virtual_device_name(void) noexcept {
    return corvessa::hal::kDeviceName;
}

extern "C" int32_t am_hal_nominal_sample_rate(void) noexcept {
    return static_cast<int32_t>(corvessa::hal::kSampleRate);
}

extern "C" int32_t am_hal_nominal_frame_length(void) noexcept {
    return static_cast<int32_t>(corvessa::hal::kRingFrameLength);
}

extern "C" int32_t am_hal_reads_silence_without_producer(void) noexcept {
    return 1;
}
