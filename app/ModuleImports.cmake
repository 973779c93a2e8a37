# Writes the linker's dynamic list for the executable: every symbol the setup module leaves
# undefined (the program's own among them). Names the program does not define are ignored by
# the linker. Run with -DNM=<nm> -DMODULE=<module> -DOUT=<list>.
execute_process(COMMAND ${NM} -D --undefined-only ${MODULE}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${symbols}")
set(list "{\n")
foreach(line IN LISTS lines)
  string(STRIP "${line}" name)
  # Versioned names (name@VERSION) come from shared libraries, never from the program.
  if(NOT name MATCHES "@" AND NOT name STREQUAL "U" AND NOT name STREQUAL "w")
    string(APPEND list "  ${name};\n")
  endif()
endforeach()
string(APPEND list "};\n")
file(WRITE ${OUT} "${list}")
