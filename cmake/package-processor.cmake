# The launcher runs on the processor it was built for alone: one for another
# processor is unsuitable, whatever its version. Names that differ for the same
# processor (arm64 and aarch64, say) are taken as one. The version itself is
# compared below, as write_basic_package_version_file compares it.
set(built "@CMAKE_SYSTEM_PROCESSOR@")
set(wanted "${CMAKE_SYSTEM_PROCESSOR}")
foreach(processor built wanted)
  string(TOLOWER "${${processor}}" name)
  string(REGEX REPLACE "^(amd64|x64)$" "x86_64" name "${name}")
  string(REGEX REPLACE "^arm64$" "aarch64" name "${name}")
  string(REGEX REPLACE "^(i[3-6]86|x86)$" "i686" name "${name}")
  string(REGEX REPLACE "^(arm|armhf|armv7.*)$" "armv7l" name "${name}")  # arm: as many armhf toolchain files name it
  string(REGEX REPLACE "^(ppc64el|powerpc64le)$" "ppc64le" name "${name}")
  set(${processor}Name "${name}")
endforeach()
if(wanted AND NOT builtName STREQUAL wantedName)
  set(PACKAGE_VERSION "@PROJECT_VERSION@ (its launcher is for ${built}; this build is for ${wanted})")
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
  return()
endif()

