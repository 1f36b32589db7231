# find_package(TulvoCli) for applications of the VEK USB Service's client library.
#   TulvoCli::TulvoCli        the DLL through its import library
#   TulvoCli::TulvoCliStatic  the static library (link with a C++ linker)
# Both give the include directory of TulvoCli.h (#include <TulvoCli.h>).
get_filename_component(_tulvocli_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(_tulvocli_includes "${_tulvocli_prefix}/include;${_tulvocli_prefix}/include/ipc/client")

if(NOT TARGET TulvoCli::TulvoCli)
    add_library(TulvoCli::TulvoCli SHARED IMPORTED)
    set_target_properties(TulvoCli::TulvoCli PROPERTIES
        IMPORTED_LOCATION "${_tulvocli_prefix}/bin/TulvoCli.dll"
        IMPORTED_IMPLIB "${_tulvocli_prefix}/lib/libTulvoCli.dll.a"
        INTERFACE_INCLUDE_DIRECTORIES "${_tulvocli_includes}")
endif()
if(NOT TARGET TulvoCli::TulvoCliStatic)
    add_library(TulvoCli::TulvoCliStatic STATIC IMPORTED)
    set_target_properties(TulvoCli::TulvoCliStatic PROPERTIES
        IMPORTED_LOCATION "${_tulvocli_prefix}/lib/libTulvoCliStatic.a"
        IMPORTED_LINK_INTERFACE_LANGUAGES CXX
        INTERFACE_LINK_LIBRARIES "user32;advapi32"
        INTERFACE_INCLUDE_DIRECTORIES "${_tulvocli_includes}")
endif()
set(TulvoCli_INCLUDE_DIRS "${_tulvocli_includes}")
unset(_tulvocli_includes)
unset(_tulvocli_prefix)
