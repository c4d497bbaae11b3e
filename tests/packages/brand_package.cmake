# Packs a ready cabinet behind a stub with an icon and version information,
# with the Linux packer when it has been built (make native); without it the
# package is not made and the test that runs it is skipped.
# cmake -DPACKER=<kesto-pack> -DSTUB=<stub> -DCABINET=<cab> -DICON_MAKER=<pe_identity.py>
#       -DOUT=<package.exe> -P brand_package.cmake
if(NOT EXISTS "${PACKER}")
  message(STATUS "no ${PACKER}: ${OUT} not made")
  file(REMOVE "${OUT}")
  return()
endif()
execute_process(COMMAND /usr/bin/python3 "${ICON_MAKER}" icon "${OUT}.ico" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${PACKER}" build --stub "${STUB}" --out "${OUT}" --cab "${CABINET}" --icon "${OUT}.ico"
  --version 1.2.3.4 "--info=ProductName=Prodüct ✓" --info=CompanyName=ACME
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
