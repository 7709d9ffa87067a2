# Writes the import library of the 32-bit vornfile.dll. The DLL exports its
# functions under their plain names (vnOpen), while a program compiled
# against vornfile.h calls them by their standard-call names (vnOpen@4): the
# import library must map one onto the other, which the linker's own does
# not. The @n of each function is read from the compiled objects, the
# ordinals from vornfile.def.
# Usage: cmake -DNM=<nm> -DDLLTOOL=<dlltool> -DDEF=<vornfile.def>
#              -DOBJECTS=<object|object|...> -DDLL=vornfile.dll
#              -DIMPLIB=<import library> -P implib.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} -g --defined-only ${objects}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed")
endif()

set(def "LIBRARY ${DLL}\nEXPORTS\n")
file(STRINGS ${DEF} lines)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)")
    set(name ${CMAKE_MATCH_1})
    set(ordinal ${CMAKE_MATCH_2})
    if(NOT symbols MATCHES " _${name}@([0-9]+)\n")
      message(FATAL_ERROR "no standard-call symbol for ${name} in the objects")
    endif()
    string(APPEND def "  ${name}@${CMAKE_MATCH_1} @${ordinal}\n")
  endif()
endforeach()
get_filename_component(folder ${IMPLIB} DIRECTORY)
file(WRITE ${folder}/vornfile-decorated.def "${def}")
execute_process(COMMAND ${DLLTOOL} --kill-at -d ${folder}/vornfile-decorated.def
                        -D ${DLL} -l ${IMPLIB}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed")
endif()
