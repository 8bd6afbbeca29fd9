# --help and --version of both programs: answered on standard output with exit status 0, and by
# the window without a display. Every command of tavrinth-cli's usage has its place in the
# manual page.
#
#   cmake -DTAVRINTH=... -DTAVRINTH_CLI=... -DVERSION=... -DCLI_MAN_PAGE=... -P help-version.cmake

set(failures 0)

# Runs a program with no display (the xcb platform, which cannot start without one) and checks
# that it succeeds with nothing on standard error; its standard output goes to out_var.
function(run_without_display out_var)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT status STREQUAL "0" OR NOT err STREQUAL "")
    message(SEND_ERROR "${ARGN}: exit status ${status}, standard error:\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    message(SEND_ERROR "${what}: got\n[${actual}]\nexpected\n[${expected}]")
  endif()
endfunction()

function(expect_contains what text part)
  string(FIND "${text}" "${part}" at)
  if(at EQUAL -1)
    string(SUBSTRING "${text}" 0 2000 start)
    message(SEND_ERROR "${what} lacks [${part}]; it begins:\n${start}")
  endif()
endfunction()

run_without_display(out "${TAVRINTH}" --version)
expect_equal("tavrinth --version" "${out}" "tavrinth ${VERSION}\n")
run_without_display(out "${TAVRINTH_CLI}" --version)
expect_equal("tavrinth-cli --version" "${out}" "tavrinth-cli ${VERSION}\n")

run_without_display(out "${TAVRINTH}" --help)
foreach(part "usage: tavrinth " "--alias NAME" "FILE..." "--help" "--version")
  expect_contains("tavrinth --help" "${out}" "${part}")
endforeach()
# The value of --alias is a name, even one that looks like an option.
run_without_display(out "${TAVRINTH}" --alias Samples --version)
expect_equal("tavrinth --alias Samples --version" "${out}" "tavrinth ${VERSION}\n")

run_without_display(usage "${TAVRINTH_CLI}" --help)
expect_contains("tavrinth-cli --help" "${usage}" "usage: tavrinth-cli aliases\n")
file(READ "${CLI_MAN_PAGE}" man_page)
string(REGEX MATCHALL "tavrinth-cli [a-z-]+" commands "${usage}")
list(LENGTH commands count)
if(count LESS 11)
  message(SEND_ERROR "tavrinth-cli --help names only ${count} commands:\n${usage}")
endif()
foreach(command IN LISTS commands)
  expect_contains("${CLI_MAN_PAGE}" "${man_page}" ".B ${command}")
endforeach()
