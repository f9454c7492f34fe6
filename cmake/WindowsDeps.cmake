# Dependencies of the cross build, made from Debian's packages without downloading anything:
# spdlog and fmt header-only from libspdlog-dev/libfmt-dev, GoogleTest compiled from the
# `googletest` source package with the cross compiler.
# Only these two header folders are taken from /usr/include (never the host's C library headers).
set(ZEP_WIN_INCLUDE ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${ZEP_WIN_INCLUDE})
foreach(lib spdlog fmt)
  if(NOT EXISTS /usr/include/${lib})
    message(FATAL_ERROR "/usr/include/${lib} missing: install lib${lib}-dev (scripts/install-deps.sh)")
  endif()
  file(CREATE_LINK /usr/include/${lib} ${ZEP_WIN_INCLUDE}/${lib} SYMBOLIC)
endforeach()
add_library(zep_spdlog_header_only INTERFACE)
target_include_directories(zep_spdlog_header_only SYSTEM INTERFACE ${ZEP_WIN_INCLUDE})
target_compile_definitions(zep_spdlog_header_only INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)
add_library(spdlog::spdlog ALIAS zep_spdlog_header_only)

# Windows 10 APIs (SetThreadDescription, WSAPoll); Unicode API names throughout.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# The MinGW runtime and the C++ library are linked in, so the programs need no DLLs beside them.
add_link_options(-static -static-libgcc -static-libstdc++)
set(ZEP_PLATFORM_LIBS ws2_32 bcrypt ole32 rpcrt4 advapi32 shell32 userenv)

if(ZEP_TESTS)
  set(ZEP_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
  if(NOT EXISTS ${ZEP_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "${ZEP_GTEST_SOURCE} missing: install googletest (scripts/install-deps.sh)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZEP_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # The source tree names its targets GTest::gtest, GTest::gmock and GTest::gtest_main itself.
endif()
