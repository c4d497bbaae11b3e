# Writes OUTPUT, a header that defines KESTO_COMMIT: the commit the sources in
# ROOT are at, with "+changes" when they differ from it, or "unknown" outside
# git. Run at every build; the file is rewritten only when the text changes,
# so nothing is compiled again for nothing.
execute_process(COMMAND git -C "${ROOT}" rev-parse --verify HEAD
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR NOT commit MATCHES "^[0-9a-f]+$")
  set(commit unknown)
else()
  execute_process(COMMAND git -C "${ROOT}" diff --quiet HEAD -- RESULT_VARIABLE changed ERROR_QUIET)
  if(changed)
    string(APPEND commit "+changes")
  endif()
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "#define KESTO_COMMIT \"${commit}\"\n")
