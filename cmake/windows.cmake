# zirm.exe: a console program for the Windows NT family, subsystem 4.0,
# statically linked so that it needs only what Windows ships.
enable_language(RC)

# The version resource takes the project's version.
configure_file(windows/zirm.rc.in zirm.rc @ONLY)
add_executable(zirm ${ZIRM_SOURCES} ${CMAKE_CURRENT_BINARY_DIR}/zirm.rc)
target_link_libraries(zirm PRIVATE advapi32)
if(MINGW)
  target_link_options(zirm PRIVATE -static -Wl,--subsystem,console:4.0)
endif()

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# Cross-built here: tested under Wine. A small Windows program reads the
# version resource back.
add_executable(version_info tests/wine/version_info.cpp)
target_link_libraries(version_info PRIVATE version)
target_link_options(version_info PRIVATE -static)

enable_testing()
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# In a network namespace of its own, like every test that starts a daemon.
add_test(NAME wine COMMAND ${CMAKE_SOURCE_DIR}/tests/own_network.sh /usr/bin/python3 -m unittest -v test_wine
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/wine)
set_tests_properties(wine PROPERTIES LABELS wine TIMEOUT 600
  ENVIRONMENT "ZIRM_EXE=$<TARGET_FILE:zirm>;VERSION_INFO_EXE=$<TARGET_FILE:version_info>;OBJDUMP=${CMAKE_OBJDUMP};WINEPREFIX=${WINE_PREFIX};WINEDEBUG=-all;PYTHONDONTWRITEBYTECODE=1")
