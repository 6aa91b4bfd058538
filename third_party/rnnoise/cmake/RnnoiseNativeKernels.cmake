# Prepares the translated module for its native kernels: copies SOURCE (wasm2c's output) to
# OUTPUT, renaming the translated compute_gru to compute_gru_translated so that the native one
# (shim/rnnoise_module.c) takes its place, and defining RNNOISE_WASM_NATIVE_GRU to 1.
#
# The native kernel repeats the translated function's arithmetic operation for operation, so it
# may only replace the exact text it was written against: the function's SHA-256 must be
# GRU_SHA256. Any other translation (another module release, another wasm2c) is copied unchanged
# with RNNOISE_WASM_NATIVE_GRU 0 and a warning; it then runs fully translated, correct but slower.
#
#   cmake -DSOURCE=<rnnoise_wasm.c> -DOUTPUT=<file> -DGRU_SHA256=<hex> -P RnnoiseNativeKernels.cmake

set(_signature "Z_rnnoise_wasm_instance_t* instance, u32 w2c_p0, u32 w2c_p1, u32 w2c_p2) {\n")
set(_definition "static void w2c_compute_gru(${_signature}")
set(_renamed "static void w2c_compute_gru_translated(${_signature}")

file(READ ${SOURCE} _text)
string(FIND "${_text}" "${_definition}" _begin)
string(FIND "${_text}" "${_definition}" _last REVERSE)
set(_native 0)
if(_begin GREATER_EQUAL 0 AND _begin EQUAL _last)
  string(SUBSTRING "${_text}" ${_begin} -1 _rest)
  string(FIND "${_rest}" "\n}\n" _length)
  string(SUBSTRING "${_rest}" 0 ${_length} _function)
  string(SHA256 _digest "${_function}")
  if(_digest STREQUAL GRU_SHA256)
    set(_native 1)
    string(REPLACE "${_definition}" "${_renamed}" _text "${_text}")
  endif()
endif()
if(NOT _native)
  message(WARNING "RNNoise: the translated compute_gru is not the verified one (SHA-256 "
                  "'${_digest}'); the module runs without its native GRU kernel.")
endif()
file(WRITE ${OUTPUT} "#define RNNOISE_WASM_NATIVE_GRU ${_native}\n${_text}")
