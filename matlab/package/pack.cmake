# Lays out the Octave package and packs it: cmake -DSOURCE_DIR=... -DSTAGE=...
# -DNAME=quorv-VERSION -DOUTPUT=.../quorv-VERSION.tar.gz -DSOURCES="a.cpp;..."
# -P pack.cmake. STAGE already holds the configured DESCRIPTION and Makefile.
set(top ${STAGE}/${NAME})
file(REMOVE_RECURSE ${top})
file(MAKE_DIRECTORY ${top}/inst/data ${top}/src)

file(COPY ${STAGE}/DESCRIPTION ${SOURCE_DIR}/matlab/package/INDEX
  ${SOURCE_DIR}/matlab/package/post_install.m DESTINATION ${top})
file(COPY ${STAGE}/Makefile DESTINATION ${top}/src)
configure_file(${SOURCE_DIR}/LICENSE ${top}/COPYING COPYONLY)
foreach(help quorv_train.m quorv_perf.m quorv_demo.m quorv_data.m quorv.m quorv_fit.m quorv_predict.m
    quorv_read_model.m quorv_write_model.m)
  file(COPY ${SOURCE_DIR}/matlab/${help} DESTINATION ${top}/inst)
endforeach()
# The demo's data set, with the terms it comes under.
file(COPY ${SOURCE_DIR}/data/iris.csv ${SOURCE_DIR}/data/README.md DESTINATION ${top}/inst/data)

# Every plug-in source and every header beside one, at its path from the top of the checkout.
foreach(source ${SOURCES})
  get_filename_component(dir ${source} DIRECTORY)
  file(GLOB headers ${SOURCE_DIR}/${dir}/*.h)
  file(COPY ${SOURCE_DIR}/${source} ${headers} DESTINATION ${top}/src/${dir})
endforeach()

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${OUTPUT} ${NAME}
  WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not write ${OUTPUT}")
endif()
message(STATUS "Octave package: ${OUTPUT}")
