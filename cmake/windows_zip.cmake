# Lays out and packs the folder a Windows user unzips (make windows-zip):
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DNAME=quorv-VERSION-win64
#   "-DPROGRAMS=quorv.exe;libmx.dll;libmex.dll" "-DPLUGINS=a.mexw64;b.mexw64" -P windows_zip.cmake
# Exactly what runs goes in: the tool, the host DLLs, the plug-ins with every
# file the loader checks beside them (same name plus a suffix), their help
# files, the iris data and the two text files.
set(top ${BUILD_DIR}/zip/${NAME})
file(REMOVE_RECURSE ${BUILD_DIR}/zip)
file(MAKE_DIRECTORY ${top}/data)

foreach(file ${PROGRAMS} ${PLUGINS})
  file(COPY ${file} DESTINATION ${top})
endforeach()
foreach(plugin ${PLUGINS})
  file(GLOB companions ${plugin}.*)
  foreach(file ${companions})
    file(COPY ${file} DESTINATION ${top})
  endforeach()
endforeach()
foreach(help quorv_train.m quorv_perf.m quorv_data.m quorv_demo.m)
  file(COPY ${SOURCE_DIR}/matlab/${help} DESTINATION ${top})
endforeach()
file(COPY ${SOURCE_DIR}/data/iris.csv ${SOURCE_DIR}/data/README.md DESTINATION ${top}/data)

# The text files with Windows line ends, named so that a double click opens them.
function(windows_text from to)
  file(READ ${from} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${to} "${text}")
endfunction()
windows_text(${SOURCE_DIR}/LICENSE ${top}/LICENSE.txt)
windows_text(${SOURCE_DIR}/cmake/windows-README.txt ${top}/README.txt)

set(output ${BUILD_DIR}/${NAME}.zip)
file(REMOVE ${output})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${output} --format=zip ${NAME}
  WORKING_DIRECTORY ${BUILD_DIR}/zip RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not write ${output}")
endif()
message(STATUS "Windows folder: ${output}")
