# Provides Vellumora::heif: libheif with the libde265 decoder, linked statically.
# The Debian cross build passes VELLUMORA_DEPS_DIR (made by scripts/setup.sh); a native
# Windows build finds libheif through its package manager (vcpkg or MSYS2).
if(TARGET Vellumora::heif)
  return()
endif()
set(VELLUMORA_DEPS_DIR "$ENV{VELLUMORA_DEPS_DIR}" CACHE PATH "Folder holding the static libheif and libde265 builds")
add_library(Vellumora::heif INTERFACE IMPORTED)
if(VELLUMORA_DEPS_DIR)
  find_library(VELLUMORA_HEIF_LIB NAMES heif PATHS "${VELLUMORA_DEPS_DIR}/lib" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_library(VELLUMORA_DE265_LIB NAMES de265 PATHS "${VELLUMORA_DEPS_DIR}/lib" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set_target_properties(Vellumora::heif PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${VELLUMORA_DEPS_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS "LIBHEIF_STATIC_BUILD;LIBDE265_STATIC_BUILD"
    INTERFACE_LINK_LIBRARIES "${VELLUMORA_HEIF_LIB};${VELLUMORA_DE265_LIB}")
else()
  find_package(libheif CONFIG REQUIRED)
  if(TARGET heif)
    target_link_libraries(Vellumora::heif INTERFACE heif)
  else()
    target_link_libraries(Vellumora::heif INTERFACE libheif::heif)
  endif()
endif()
