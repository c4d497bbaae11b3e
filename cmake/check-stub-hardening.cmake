# Checks what the stub's hardening relies on, after every link:
# - it imports no library but kernel32 and the C runtime: anything else the
#   loader resolved before wWinMain could pull in a library planted beside
#   the launcher, before the search path is restricted;
# - address randomisation, no-execute and terminal-server awareness are set;
# - it stays within MAX_BYTES (0: no limit), since every package carries it.
# cmake -DFILE=<stub> -DOBJDUMP=<objdump> -DMAX_BYTES=<n> -P check-stub-hardening.cmake
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the headers of ${FILE}")
endif()
set(problems "")
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" library "${import}")
  string(TOLOWER "${library}" library)
  if(NOT library MATCHES "^(kernel32|msvcrt)\\.dll$")
    string(APPEND problems "  imports ${library} when it loads\n")
  endif()
endforeach()
foreach(flag DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE)
  if(NOT headers MATCHES "\n[ \t]+${flag}\n")
    string(APPEND problems "  lacks ${flag}\n")
  endif()
endforeach()
file(SIZE "${FILE}" size)
if(MAX_BYTES GREATER 0 AND size GREATER MAX_BYTES)
  string(APPEND problems "  is ${size} bytes, more than ${MAX_BYTES}\n")
endif()
if(problems)
  message(FATAL_ERROR "${FILE}:\n${problems}")
endif()
