// Export macro for the flat C interface of the shared audio ring library.
//
// Every library in Corvessa is built with hidden visibility; only the functions marked AM_EXPORT
// are visible outside the shared object that links the ring library (the HAL plug-in exports
// them, the helper program links them statically).
#ifndef AMBERLIN_AM_EXPORT_H
#define AMBERLIN_AM_EXPORT_H

#if defined(__GNUC__)
#define AM_EXPORT __attribute__((visibility("default")))
#else
#define AM_EXPORT
#endif

#ifdef __cplusplus
#define AM_EXTERN_C_BEGIN extern "C" {
#define AM_EXTERN_C_END }
#define AM_NOEXCEPT noexcept
#else
#define AM_EXTERN_C_BEGIN
#define AM_EXTERN_C_END
#define AM_NOEXCEPT
#endif

#endif
