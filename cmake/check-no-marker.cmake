# Fails when FILE holds the payload marker in one piece: the payload scan
# takes the first occurrence in the whole file, image included. The marker is
# spelt here in two halves so that this script is no match either.
set(marker "Kesto")
string(APPEND marker "Binay")
# The marker is printable ASCII, so an occurrence lies inside one of the
# file's printable runs.
file(STRINGS "${FILE}" hits REGEX "${marker}")
if(hits)
  message(FATAL_ERROR "${FILE} holds the payload marker in one piece")
endif()
