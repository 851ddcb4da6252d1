# Provides Vellumora::heif: libheif with the libde265 decoder, linked statically.
# The Debian cross build passes VELLUMORA_DEPS_DIR (made by scripts/setup.sh); a native
# Windows build finds libheif through its package manager (vcpkg or MSYS2).
if(TARGET Vellumora::heif)
  return()
endif()
set(VELLUMORA_DEPS_DIR "$ENV{VELLUMORA_DEPS_DIR}" CACHE PATH "Folder holding the static libheif and libde265 builds")
add_library(Vellumora::heif INTERFACE IMPORTED)
if(VELLUMORA_DEPS_DIR)
  # Plain paths rather than cached find results, so that pointing the build at a new cache
  # folder (a newer dependency recipe) takes effect on the next configure.
  set(_heif "${VELLUMORA_DEPS_DIR}/lib/libheif.a")
  set(_de265 "${VELLUMORA_DEPS_DIR}/lib/libde265.a")
  foreach(_lib IN ITEMS "${_heif}" "${_de265}")
    if(NOT EXISTS "${_lib}")
      message(FATAL_ERROR "${_lib} is missing: run scripts/setup.sh")
    endif()
  endforeach()
  set_target_properties(Vellumora::heif PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${VELLUMORA_DEPS_DIR}/include"
    INTERFACE_COMPILE_DEFINITIONS "LIBHEIF_STATIC_BUILD;LIBDE265_STATIC_BUILD"
    INTERFACE_LINK_LIBRARIES "${_heif};${_de265}")
else()
  find_package(libheif CONFIG REQUIRED)
  if(TARGET heif)
    target_link_libraries(Vellumora::heif INTERFACE heif)
  else()
    target_link_libraries(Vellumora::heif INTERFACE libheif::heif)
  endif()
endif()
