# Installs the library into a scratch prefix, then builds a C host against it
# twice: through CMake's find_package and through pkg-config; both must run.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(file lib/libLF_v2270.so include/LF_v2270.h lib/pkgconfig/LF_v2270.pc
             lib/cmake/LF_v2270/LF_v2270Config.cmake)
  if(NOT EXISTS ${WORK}/prefix/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer
                        -DCMAKE_PREFIX_PATH=${WORK}/prefix
                RESULT_VARIABLE result OUTPUT_QUIET)
if(result EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/consumer RESULT_VARIABLE result
                  OUTPUT_QUIET)
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "find_package consumer did not build")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${WORK}/prefix/lib/pkgconfig
                        pkg-config --cflags --libs LF_v2270
                RESULT_VARIABLE result OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know LF_v2270")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc ${SOURCE}/../abi_c_host.c ${flags} -o ${WORK}/pkgconfig_host
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config consumer did not build")
endif()

foreach(host ${WORK}/consumer/consumer ${WORK}/pkgconfig_host)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${WORK}/prefix/lib
                          LF_V2270_SIMULATOR= ${host} 0
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${host} failed")
  endif()
endforeach()
