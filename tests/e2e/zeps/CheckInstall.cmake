# Installs the build twice, into a prefix and as a package would (DESTDIR), and checks that the
# systemd unit and the URL handler start the installed zeps by its installed path.
# cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P CheckInstall.cmake
function(expect_line file regex)
  file(STRINGS "${file}" lines REGEX "${regex}")
  if(NOT lines)
    file(READ "${file}" text)
    message(FATAL_ERROR "${file}: no line matching ${regex}:\n${text}")
  endif()
endfunction()

function(check_tree root prefix)
  if(NOT EXISTS "${root}/bin/zeps" OR IS_DIRECTORY "${root}/bin/zeps")
    message(FATAL_ERROR "zeps not installed under ${root}/bin")
  endif()
  file(SIZE "${root}/bin/zeps" installed)
  file(SIZE "${BUILD}/bin/zeps" built)
  if(NOT installed EQUAL built)
    message(FATAL_ERROR "installed zeps (${installed} bytes) is not the built one (${built} bytes)")
  endif()
  set(unit "${root}/lib/systemd/user/zeps.service")
  expect_line("${unit}" "^ExecStart=${prefix}/bin/zeps$")
  expect_line("${unit}" "^WantedBy=graphical-session.target$")
  set(desktop "${root}/share/applications/zeps-url-handler.desktop")
  expect_line("${desktop}" "^Exec=${prefix}/bin/zeps %u$")
  expect_line("${desktop}" "^MimeType=x-scheme-handler/vekta;$")
  expect_line("${desktop}" "^Type=Application$")
endfunction()

file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${WORK}/prefix"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install --prefix failed (${rc}):\n${out}")
endif()
check_tree("${WORK}/prefix" "${WORK}/prefix")

execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${WORK}/package"
                        "${CMAKE_COMMAND}" --install "${BUILD}" --prefix /opt/zep
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install with DESTDIR failed (${rc}):\n${out}")
endif()
check_tree("${WORK}/package/opt/zep" "/opt/zep")
file(REMOVE_RECURSE "${WORK}")
