# Checks a stub's executable settings: a GUI program for subsystem version
# 6.0 in the expected PE format, with the application manifest embedded
# (run as the invoker, Common Controls 6, DPI aware, Vista to Windows 10).
# cmake -DFILE=<stub> -DOBJDUMP=<objdump> -DMAGIC=<PE32|PE32+> -P check-stub-image.cmake
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the headers of ${FILE}")
endif()
set(problems "")
string(FIND "${headers}" "(${MAGIC})\n" at)
if(at EQUAL -1)
  string(APPEND problems "  not a ${MAGIC} image\n")
endif()
foreach(expected "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)"
                 "MajorSubsystemVersion[ \t]+6\n" "MinorSubsystemVersion[ \t]+0\n")
  if(NOT headers MATCHES "${expected}")
    string(APPEND problems "  headers lack ${expected}\n")
  endif()
endforeach()

file(STRINGS "${FILE}" manifest REGEX "requestedExecutionLevel|Common-Controls|dpiAware|supportedOS")
string(JOIN "\n" manifest ${manifest})
foreach(expected
    "level=\"asInvoker\" uiAccess=\"false\""
    "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""
    ">true</dpiAware>"
    "e2011457-1546-43c5-a5fe-008deee3d3f0"   # Vista
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a"   # 7
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38"   # 8
    "1f676c76-80e1-4239-95bb-83d0f6d0da78"   # 8.1
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")  # 10
  string(FIND "${manifest}" "${expected}" at)
  if(at EQUAL -1)
    string(APPEND problems "  manifest lacks ${expected}\n")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${FILE}:\n${problems}")
endif()
