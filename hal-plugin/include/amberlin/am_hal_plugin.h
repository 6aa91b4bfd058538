// Exported entry points of libAmberlinHALPlugin besides the shared-ring functions.
//
// `Corvessa_Create` is the plug-in factory named by the bundle's Info.plist; the host calls it
// with the audio-server plug-in type UUID and receives the driver reference. The `am_hal_*`
// functions state the virtual device's contract for anyone who inspects the library; they take
// no state and may be called from any thread.
#ifndef AMBERLIN_AM_HAL_PLUGIN_H
#define AMBERLIN_AM_HAL_PLUGIN_H

#include <stdint.h>

#include "amberlin/am_export.h"

AM_EXTERN_C_BEGIN

struct __CFAllocator;
struct __CFUUID;

/// Returns the driver reference when `requested_type_uuid` is the audio-server plug-in type, else
/// null. Allocates nothing; `allocator` is ignored. The parameters are the foundation allocator
/// and UUID references, so the factory has exactly the type hosts call it through.
AM_EXPORT void* Corvessa_Create(const struct __CFAllocator* allocator,
                                const struct __CFUUID* requested_type_uuid) AM_NOEXCEPT;

/// "Corvessa Mic" (static string).
AM_EXPORT const char* am_hal_virtual_device_name(void) AM_NOEXCEPT;
/// 48000: the device's only sample rate in Hz.
AM_EXPORT int32_t am_hal_nominal_sample_rate(void) AM_NOEXCEPT;
/// 480: samples per ring frame (10 ms).
AM_EXPORT int32_t am_hal_nominal_frame_length(void) AM_NOEXCEPT;
/// 1: without a producer the device delivers silence rather than failing.
AM_EXPORT int32_t am_hal_reads_silence_without_producer(void) AM_NOEXCEPT;

AM_EXTERN_C_END

#endif
