# kesto_add_package(<name> OUTPUT <file.exe> SOURCES <files or folders>...
#                   ENTRY <file> [STORE] [STUB x86|x64]
#                   [ICON <file.ico>] [VERSION <X.Y.Z.W>] [INFO <NAME=VALUE>...])
# kesto_add_package_test(<name> <package target> [ARGS <tail>...] [EXPECT <code>])
#
# kesto_add_package adds the target <name>, built by default, that packs SOURCES into the
# launcher file OUTPUT with `kesto-pack build`:
#   OUTPUT   the package; a relative path counts from the current binary folder
#   SOURCES  files and folders, relative to the current source folder; a folder
#            contributes its contents, a file itself, all at the top of the
#            package. Folders are globbed with CONFIGURE_DEPENDS, so a changed,
#            added or removed file makes the next build pack again.
#   ENTRY    the file the launcher must start: the build fails unless it
#            certainly is (kesto-pack build --entry)
#   STORE    store the files instead of compressing them (MSZIP)
#   STUB     x86, the release stub (default), or x64
#   ICON     the package's icon, a .ico file relative to the current source
#            folder (kesto-pack build --icon)
#   VERSION  the file and product version, X[.Y[.Z[.W]]] (--version)
#   INFO     version strings Windows shows, each NAME=VALUE (--info), NAME one
#            of ProductName, CompanyName, FileDescription, LegalCopyright,
#            LegalTrademarks, OriginalFilename, InternalName, Comments,
#            ProductVersion, FileVersion
# Reproducible builds: SOURCE_DATE_EPOCH set in the environment when CMake
# configures is passed on as --mtime; set only while building, kesto-pack
# reads it itself. Either way every file gets that time and the same files
# make the same package byte for byte.
# Needs CMake 3.20 and what find_package(Kesto) sets: Kesto::kesto-pack and
# KESTO_STUB_X86/X64.
function(kesto_add_package name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "STORE" "OUTPUT;ENTRY;STUB;ICON;VERSION" "SOURCES;INFO")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kesto_add_package(${name}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT SOURCES ENTRY)
    if(NOT ARG_${required})
      message(FATAL_ERROR "kesto_add_package(${name}): ${required} is missing")
    endif()
  endforeach()
  if(NOT ARG_STUB)
    set(ARG_STUB x86)
  endif()
  if(NOT ARG_STUB MATCHES "^(x86|x64)$")
    message(FATAL_ERROR "kesto_add_package(${name}): STUB ${ARG_STUB}: x86 or x64")
  endif()
  string(TOUPPER "KESTO_STUB_${ARG_STUB}" stub_variable)
  set(stub "${${stub_variable}}")
  if(NOT TARGET Kesto::kesto-pack OR NOT stub)
    message(FATAL_ERROR "kesto_add_package(${name}): no kesto found; call find_package(Kesto) first")
  endif()

  cmake_path(ABSOLUTE_PATH ARG_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE OUTPUT_VARIABLE output)
  set(sources "")
  set(depends "")
  foreach(source IN LISTS ARG_SOURCES)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    if(IS_DIRECTORY "${source}")
      file(GLOB_RECURSE files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${source}/*")
      list(APPEND depends ${files})
    elseif(EXISTS "${source}")
      list(APPEND depends "${source}")
    else()
      message(FATAL_ERROR "kesto_add_package(${name}): SOURCES ${source}: no such file or folder")
    endif()
    list(APPEND sources "${source}")
  endforeach()

  set(options --stub "${stub}" --out "${output}" --entry "${ARG_ENTRY}")
  if(ARG_STORE)
    list(APPEND options --store)
  endif()
  if(ARG_ICON)
    cmake_path(ABSOLUTE_PATH ARG_ICON BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    list(APPEND options --icon "${ARG_ICON}")
    list(APPEND depends "${ARG_ICON}")
  endif()
  if(ARG_VERSION)
    list(APPEND options --version "${ARG_VERSION}")
  endif()
  foreach(info IN LISTS ARG_INFO)
    list(APPEND options --info "${info}")
  endforeach()
  # Added or removed files change this list, and the changed list packs again
  # even when the files' own times are older than the package; so does a
  # changed ICON, VERSION or INFO.
  set(list_file "${CMAKE_CURRENT_BINARY_DIR}/${name}.kesto-sources")
  string(REPLACE ";" "\n" listing "${depends};${options}")
  file(CONFIGURE OUTPUT "${list_file}" CONTENT "${listing}\n" @ONLY)

  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    list(APPEND options --mtime "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  cmake_path(GET output PARENT_PATH output_folder)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_folder}"
    COMMAND Kesto::kesto-pack build ${options} -- ${sources}
    DEPENDS ${depends} "${list_file}" "${stub}" Kesto::kesto-pack
    COMMENT "Packing ${name}: ${ARG_OUTPUT}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  set_target_properties(${name} PROPERTIES KESTO_PACKAGE_FILE "${output}")
endfunction()

# kesto_add_package_test adds the CTest test <name>: `kesto-pack try` runs the
# package that kesto_add_package made for <package target> under Wine, hidden,
# with ARGS as its command-line tail (each one as it stands, joined by single
# spaces), and the test passes when its exit code is EXPECT (decimal or 0x
# hexadecimal), by default any code but the launcher's own. Build first
# (ctest does not); the test says what to install when Wine or Xvfb is
# missing. The tries share one Wine prefix (KESTO_WINEPREFIX, else the user's
# cache folder) and run one at a time.
function(kesto_add_package_test name package_target)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "EXPECT" "ARGS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kesto_add_package_test(${name}): unknown arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${package_target})
    message(FATAL_ERROR "kesto_add_package_test(${name}): no target ${package_target}; add it with kesto_add_package first")
  endif()
  get_target_property(package "${package_target}" KESTO_PACKAGE_FILE)
  if(NOT package)
    message(FATAL_ERROR "kesto_add_package_test(${name}): ${package_target} was not made by kesto_add_package")
  endif()
  set(expect "")
  if(DEFINED ARG_EXPECT)
    set(expect --expect "${ARG_EXPECT}")
  endif()
  add_test(NAME ${name} COMMAND Kesto::kesto-pack try ${expect} -- "${package}" ${ARG_ARGS})
  set_tests_properties(${name} PROPERTIES RESOURCE_LOCK kesto-try)
endfunction()
