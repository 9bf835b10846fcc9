# Installs korvane's C++ package (install component cpp) into a fresh prefix, builds
# the example project of examples/cpp against it as an outside project would, and runs
# it on water. cmake -P with BUILD_DIR, WORK_DIR, EXAMPLE_DIR, CXX, LAUNCHER, SANITIZE.
file(REMOVE_RECURSE "${WORK_DIR}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("installing the package" "${CMAKE_COMMAND}" --install "${BUILD_DIR}"
    --prefix "${WORK_DIR}/prefix" --component cpp)
set(flags "")
if(SANITIZE)  # a sanitized library needs its runtime in the program
  set(flags "-fsanitize=${SANITIZE}")
endif()
run("configuring the example" "${CMAKE_COMMAND}" -S "${EXAMPLE_DIR}" -B "${WORK_DIR}/build"
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER}" "-DCMAKE_CXX_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run("building the example" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("running the example" "${WORK_DIR}/build/korvane_analyze" "O")

set(expected
    "[VIF] O\n"
    "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)\n"
    "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)\n")
string(JOIN "" expected ${expected})
string(FIND "${out}" "${expected}" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "the example's report does not begin with water's head:\n${out}")
endif()
string(FIND "${out}" "\nm/z 18  H2O  O\n" at)
if(at LESS 0)
  message(FATAL_ERROR "the example does not list the molecule's peak:\n${out}")
endif()
