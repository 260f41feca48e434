# Installs the built library into a fresh prefix and builds the README's C
# example three ways, running each program:
#   1. the README's compile line against the build tree;
#   2. through pkg-config against the installed copy;
#   3. through find_package against the installed copy (tests/install/consumer).
# Inputs: SOURCE_DIR, BUILD_DIR, WORK_DIR, C_COMPILER, GENERATOR, README,
# EXAMPLE, HOST_FLAGS (extra compile/link flags, e.g. the sanitizers, ';'-separated).

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

# 1. The README's build-tree line, verbatim in the README, run with this
#    checkout's paths in place of the relative ones.
set(readme_line "cc -std=c99 -Iinclude example.c -Lbuild/release -ltavren_dadiza -Wl,-rpath,$PWD/build/release -o example")
file(READ "${README}" readme)
# The README's lines for the three ways, as this test runs them.
foreach(line "${readme_line}" "cc -std=c99 example.c $(pkg-config --cflags --libs tavren_dadiza) -o example"
             "find_package(tavren_dadiza 0.1 REQUIRED)"
             "target_link_libraries(example PRIVATE tavren_dadiza::tavren_dadiza)")
  string(FIND "${readme}" "${line}" pos)
  if(pos EQUAL -1)
    message(FATAL_ERROR "README.md no longer shows the line this test runs:\n${line}")
  endif()
endforeach()
run("README compile line" "${C_COMPILER}" -std=c99 "-I${SOURCE_DIR}/include" "${EXAMPLE}" "-L${BUILD_DIR}"
    -ltavren_dadiza "-Wl,-rpath,${BUILD_DIR}" -o "${WORK_DIR}/example_build_tree" ${HOST_FLAGS})
run("example built with the README line" "${WORK_DIR}/example_build_tree")

# The install itself: header, versioned library, pkg-config file, CMake package.
run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
file(GLOB_RECURSE pc_files "${prefix}/*/tavren_dadiza.pc")
file(GLOB_RECURSE config_files "${prefix}/*/tavren_dadizaConfig.cmake")
file(GLOB_RECURSE sonames "${prefix}/*/libtavren_dadiza.so.[0-9]")
foreach(item pc_files config_files sonames)
  list(LENGTH ${item} n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one installed ${item}, found: ${${item}}")
  endif()
endforeach()
if(NOT EXISTS "${prefix}/include/tavren_dadiza.h")
  message(FATAL_ERROR "the header was not installed under ${prefix}/include")
endif()

# 2. pkg-config.
find_program(PKG_CONFIG pkg-config REQUIRED)
get_filename_component(pc_dir "${pc_files}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
run("pkg-config" "${PKG_CONFIG}" --cflags --libs tavren_dadiza)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run("pkg-config libdir" "${PKG_CONFIG}" --variable=libdir tavren_dadiza)
string(STRIP "${run_output}" pc_libdir)
run("pkg-config build" "${C_COMPILER}" -std=c99 "${EXAMPLE}" ${pc_flags} "-Wl,-rpath,${pc_libdir}"
    -o "${WORK_DIR}/example_pkg_config" ${HOST_FLAGS})
run("ldd of the pkg-config build" ldd "${WORK_DIR}/example_pkg_config")
string(FIND "${run_output}" "${prefix}" pos)
if(pos EQUAL -1)
  message(FATAL_ERROR "the pkg-config build does not load the installed library:\n${run_output}")
endif()
run("example built through pkg-config" "${WORK_DIR}/example_pkg_config")

# 3. find_package.
string(REPLACE ";" " " host_flags_text "${HOST_FLAGS}")
run("consumer configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/install/consumer" -B "${WORK_DIR}/consumer"
    -G "${GENERATOR}" "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_PREFIX_PATH=${prefix}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "-DEXAMPLE=${EXAMPLE}"
    "-DCMAKE_C_FLAGS=${host_flags_text}" "-DCMAKE_EXE_LINKER_FLAGS=${host_flags_text}")
run("consumer build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")
run("example built through find_package" "${WORK_DIR}/consumer/example")
