# Part of `cmake --install`: the installed quorv looks for its host library in
# the configured prefix first, then beside itself in ../lib. Installed under
# another prefix (--prefix, CMAKE_INSTALL_PREFIX changed at install time), the
# first entry would find whatever another install left there: only the
# relative entry is kept (it is shorter, so the file is rewritten in place).
set(tool "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/quorv")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL QUORV_CONFIGURED_PREFIX)
  file(RPATH_CHANGE FILE "${tool}" OLD_RPATH "${QUORV_CONFIGURED_PREFIX}/lib:\$ORIGIN/../lib"
    NEW_RPATH "\$ORIGIN/../lib")
  message(STATUS "${tool} finds its library by its own place only: configured for "
    "${QUORV_CONFIGURED_PREFIX}, installed in ${CMAKE_INSTALL_PREFIX}")
endif()
