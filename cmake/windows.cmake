# Windows pieces of the build (make windows), included by the top CMakeLists.txt.

# A build on Windows itself has no toolchain file to name dlltool.
if(NOT QUORV_DLLTOOL)
  find_program(QUORV_DLLTOOL NAMES dlltool REQUIRED)
endif()

# Import libraries for the plug-ins, made from the host's export lists as for
# any Windows MEX file: the plug-ins import by name from libmx.dll and libmex.dll.
set(QUORV_IMPORT_DIR ${CMAKE_BINARY_DIR}/imports)
set(QUORV_IMPORT_LIBS)
foreach(lib mx mex)
  set(out ${QUORV_IMPORT_DIR}/lib${lib}_imports.a)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORV_IMPORT_DIR}
    COMMAND ${QUORV_DLLTOOL} --input-def ${CMAKE_SOURCE_DIR}/mex/lib${lib}.def
      --dllname lib${lib}.dll --output-lib ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/mex/lib${lib}.def
    COMMENT "Import library for lib${lib}.dll"
    VERBATIM)
  list(APPEND QUORV_IMPORT_LIBS ${out})
endforeach()
add_custom_target(quorv_mex_imports DEPENDS ${QUORV_IMPORT_LIBS})

# Exports only what a .def file lists (mexFunction for a plug-in).
function(quorv_windows_module name def)
  target_link_options(${name} PRIVATE -Wl,--exclude-all-symbols ${def})
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${def})
endfunction()

function(quorv_windows_plugin name)
  add_dependencies(${name} quorv_mex_imports)
  target_link_libraries(${name} PRIVATE ${QUORV_IMPORT_LIBS})
  quorv_windows_module(${name} ${CMAKE_SOURCE_DIR}/resources/exports.def)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".mexw64")
endfunction()

# libmx.dll (the host target) exports its whole interface, the mex* functions
# too; libmex.dll forwards those by name to it. A second libmex.dll, without the
# flop counter as current hosts are, shows that the plug-ins load without it.
add_library(quorv_libmex SHARED minihost/libmex.def)
set_target_properties(quorv_libmex PROPERTIES OUTPUT_NAME mex PREFIX lib LINKER_LANGUAGE CXX)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/minihost/libmex.def)
file(READ ${CMAKE_SOURCE_DIR}/minihost/libmex.def libmex_text)
string(REGEX REPLACE "[^\n]*mexAddFlops[^\n]*\n" "" libmex_text "${libmex_text}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/noflops/libmex.def CONTENT "${libmex_text}" @ONLY)
add_library(quorv_libmex_noflops SHARED ${CMAKE_BINARY_DIR}/noflops/libmex.def)
set_target_properties(quorv_libmex_noflops PROPERTIES OUTPUT_NAME mex PREFIX lib LINKER_LANGUAGE CXX
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/noflops)
add_dependencies(quorv_minihost quorv_libmex quorv_libmex_noflops)

# Plug-ins the loader must refuse, and the one it must take, for the tests run under Wine.
function(quorv_windows_fixture name)
  add_library(${name} MODULE ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/mex ${CMAKE_SOURCE_DIR})
  if(name STREQUAL "fixture_nomex")
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".mexw64")
  else()
    quorv_windows_plugin(${name})
  endif()
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures)
  quorv_plugin_digest(${name})
endfunction()
set(fixtures ${CMAKE_SOURCE_DIR}/tests/fixtures)
quorv_windows_fixture(fixture_nostamp ${fixtures}/nostamp_plugin.cpp)
quorv_windows_fixture(fixture_oldstamp ${fixtures}/nostamp_plugin.cpp ${CMAKE_SOURCE_DIR}/tests/windows/oldstamp.rc)
quorv_windows_fixture(fixture_nomex ${fixtures}/nomex_plugin.cpp ${CMAKE_SOURCE_DIR}/resources/version.rc)
target_compile_definitions(fixture_nomex PRIVATE QUORV_PLUGIN_NAME=quorv_train)

# The bundled data sets beside quorv.exe, so that the folder runs as shipped.
file(GLOB QUORV_DATA_FILES ${CMAKE_SOURCE_DIR}/data/*.csv ${CMAKE_SOURCE_DIR}/data/README.md)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/data/README.md
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/data
  COMMAND ${CMAKE_COMMAND} -E copy ${QUORV_DATA_FILES} ${CMAKE_BINARY_DIR}/data
  DEPENDS ${QUORV_DATA_FILES}
  COMMENT "Copying the data sets beside quorv.exe")
add_custom_target(quorv_windows_data ALL DEPENDS ${CMAKE_BINARY_DIR}/data/README.md)

# quorv-VERSION-win64.zip (make windows-zip): the folder to copy to a Windows
# machine, laid out by windows_zip.cmake when the target runs, so that files
# made beside the plug-ins after configuring are picked up too. (The targets
# named in the command are built first.)
set(QUORV_ZIP_NAME quorv-${PROJECT_VERSION}-win64)
add_custom_target(windows_zip
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DNAME=${QUORV_ZIP_NAME}
    "-DPROGRAMS=$<TARGET_FILE:quorv>;$<TARGET_FILE:quorv_minihost>;$<TARGET_FILE:quorv_libmex>"
    "-DPLUGINS=$<TARGET_FILE:quorv_train>;$<TARGET_FILE:quorv_perf>"
    -P ${CMAKE_SOURCE_DIR}/cmake/windows_zip.cmake
  COMMENT "Packing ${QUORV_ZIP_NAME}.zip"
  VERBATIM)
