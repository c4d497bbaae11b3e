# cmake -DOUT=file -DMIB=n -P filler.cmake: writes an n MiB file of text, for
# packages whose copy and expansion must take a while.
string(REPEAT "0123456789abcdef" 65536 mebibyte)
file(WRITE ${OUT} "")
foreach(i RANGE 1 ${MIB})
  file(APPEND ${OUT} "${mebibyte}")
endforeach()
