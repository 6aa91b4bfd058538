# Reads the RNNoise WebAssembly module's import and export sections and writes a C header that
# names, by their original function names, the C symbols wasm2c generates for them. The build
# therefore keeps working when a new release of the module minifies its exports differently, and
# fails at configure time with a clear message when the module needs something the host lacks.

# The import functions the host shim implements; any other import is an error.
set(_rnnoise_host_imports emscripten_resize_heap emscripten_memcpy_big)
# The exported functions the shim calls.
set(_rnnoise_needed_exports __wasm_call_ctors rnnoise_create rnnoise_process_frame malloc free)

# wasm2c keeps letters, digits and '_' and writes 'Z' as "Z5A"; other characters are not expected.
function(_rnnoise_wasm_mangle name out)
  if(NOT name MATCHES "^[A-Za-z0-9_]+$")
    message(FATAL_ERROR "RNNoise WebAssembly module: unexpected symbol name '${name}'")
  endif()
  string(REPLACE "Z" "Z5A" _mangled "${name}")
  set(${out} "${_mangled}" PARENT_SCOPE)
endfunction()

# Collects "<original name> -> field" pairs for imports and exports from `wasm-objdump -x`.
function(_rnnoise_wasm_read_sections objdump wasm)
  execute_process(COMMAND ${objdump} -x ${wasm} OUTPUT_VARIABLE _dump RESULT_VARIABLE _rc
                  ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "wasm-objdump could not read ${wasm}: ${_err}")
  endif()
  string(REGEX MATCHALL " - func\\[[0-9]+\\] sig=[0-9]+ [^\n]*<- [^\n]+" _imports "${_dump}")
  string(REGEX MATCHALL " - func\\[[0-9]+\\] <[^>]+> -> \"[^\"]+\"" _exports "${_dump}")
  string(REGEX MATCH " - memory\\[0\\] -> \"[^\"]+\"" _memory "${_dump}")
  set(_rnnoise_imports "${_imports}" PARENT_SCOPE)
  set(_rnnoise_exports "${_exports}" PARENT_SCOPE)
  set(_rnnoise_memory "${_memory}" PARENT_SCOPE)
endfunction()

# Sets `out_body` to the #defines naming the host imports and `out_module` to the one module
# they are imported from.
function(_rnnoise_wasm_import_defines out_body out_module)
  set(_body "")
  set(_import_module "")
  foreach(_line IN LISTS _rnnoise_imports)
    if(NOT _line MATCHES "<([^>]+)> <- ([A-Za-z0-9_]+)\\.([A-Za-z0-9_]+)")
      message(FATAL_ERROR "RNNoise WebAssembly module: cannot name import '${_line}' "
                          "(the module's name section is needed)")
    endif()
    set(_name ${CMAKE_MATCH_1})
    if(NOT _name IN_LIST _rnnoise_host_imports)
      message(FATAL_ERROR "RNNoise WebAssembly module imports '${_name}', which the shim lacks")
    endif()
    if(_import_module AND NOT _import_module STREQUAL CMAKE_MATCH_2)
      message(FATAL_ERROR "RNNoise WebAssembly module imports from more than one module")
    endif()
    set(_import_module ${CMAKE_MATCH_2})
    _rnnoise_wasm_mangle(${CMAKE_MATCH_2} _mod)
    _rnnoise_wasm_mangle(${CMAKE_MATCH_3} _field)
    string(APPEND _body "#define RNNOISE_WASM_IMPORT_${_name} Z_${_mod}Z_${_field}\n")
    list(APPEND _found ${_name})
  endforeach()
  if(NOT _import_module)
    message(FATAL_ERROR "RNNoise WebAssembly module imports nothing: not an emscripten build")
  endif()
  # Imports the module does not use still get a name, so the shim's definitions compile.
  foreach(_name IN LISTS _rnnoise_host_imports)
    if(NOT _name IN_LIST _found)
      string(APPEND _body "#define RNNOISE_WASM_IMPORT_${_name} rnnoise_wasm_unused_${_name}\n")
    endif()
  endforeach()
  set(${out_body} "${_body}" PARENT_SCOPE)
  set(${out_module} "${_import_module}" PARENT_SCOPE)
endfunction()

# Sets `out_body` to the #defines naming the exported functions and memory of `module`.
function(_rnnoise_wasm_export_defines module out_body)
  set(_body "")
  foreach(_line IN LISTS _rnnoise_exports)
    string(REGEX MATCH "<([^>]+)> -> \"([^\"]+)\"" _ "${_line}")
    _rnnoise_wasm_mangle(${CMAKE_MATCH_2} _field)
    string(APPEND _body "#define RNNOISE_WASM_EXPORT_${CMAKE_MATCH_1} Z_${module}Z_${_field}\n")
    list(APPEND _found ${CMAKE_MATCH_1})
  endforeach()
  foreach(_name IN LISTS _rnnoise_needed_exports)
    if(NOT _name IN_LIST _found)
      message(FATAL_ERROR "RNNoise WebAssembly module does not export '${_name}' "
                          "(its name section is needed to find the exports)")
    endif()
  endforeach()
  if(NOT _rnnoise_memory MATCHES "\"([^\"]+)\"")
    message(FATAL_ERROR "RNNoise WebAssembly module does not export its memory")
  endif()
  _rnnoise_wasm_mangle(${CMAKE_MATCH_1} _field)
  string(APPEND _body "#define RNNOISE_WASM_EXPORT_memory Z_${module}Z_${_field}\n")
  set(${out_body} "${_body}" PARENT_SCOPE)
endfunction()

# Writes `header`: the generated module header, one #define per host import and export, and the
# names of the instance types and lifecycle functions wasm2c gives `module`.
function(rnnoise_wasm_write_bindings objdump wasm module header)
  _rnnoise_wasm_read_sections(${objdump} ${wasm})
  _rnnoise_wasm_import_defines(_imports _import_module)
  _rnnoise_wasm_export_defines(${module} _exports)
  _rnnoise_wasm_mangle(${_import_module} _mod)
  string(JOIN "" _text
         "/* Generated by RnnoiseWasmBindings.cmake from ${wasm}. */\n"
         "#ifndef RNNOISE_WASM_BINDINGS_H\n#define RNNOISE_WASM_BINDINGS_H\n"
         "#include \"${module}.h\"\n${_imports}${_exports}"
         "#define RNNOISE_WASM_HOST_INSTANCE Z_${_mod}_instance_t\n"
         "#define RNNOISE_WASM_INSTANCE Z_${module}_instance_t\n"
         "#define RNNOISE_WASM_INIT_MODULE Z_${module}_init_module\n"
         "#define RNNOISE_WASM_INSTANTIATE Z_${module}_instantiate\n"
         "#define RNNOISE_WASM_FREE Z_${module}_free\n#endif\n")
  file(CONFIGURE OUTPUT ${header} CONTENT "${_text}" @ONLY)
endfunction()
