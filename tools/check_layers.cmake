# The layering rules, checked over the source tree (ctest "layers"; run by hand with
# cmake -DSOURCE_DIR=<checkout> -P tools/check_layers.cmake):
#   core/      includes only core/ and platform/ (and system headers)
#   platform/  includes only platform/
#   console/   includes only the runtime interface api/zel.h and console/
# Every include that breaks a rule is listed, and the check fails.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check_layers: pass -DSOURCE_DIR=<the source tree>")
endif()

set(violations "")

# layer: the folder; allowed: a regex the included path must match.
function(check_layer layer allowed)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.h
                          ${SOURCE_DIR}/${layer}/*.def ${SOURCE_DIR}/${layer}/*.inc)
  foreach(f ${files})
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" path "${line}")
      if(NOT path MATCHES "${allowed}")
        file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
        list(APPEND violations "${rel} includes \"${path}\"")
      endif()
    endforeach()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

check_layer(core "^(core|platform)/")
check_layer(platform "^platform/")
check_layer(console "^(api/zel\\.h|console/)")

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Layering broken:\n  ${text}")
endif()
message(STATUS "Layering holds: core/ and platform/ include no upper layer; console/ uses only api/zel.h")
