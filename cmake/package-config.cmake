# find_package(startMorvelin): the launcher, as the imported target
# startMorvelin::startMorvelin, and in startMorvelin_NOTICES the copyright notice
# of the C library it carries (none where it is linked dynamically), which lies
# beside it and must be installed wherever it is.
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/startMorvelinTargets.cmake")
set(startMorvelin_NOTICES @notices@)
list(TRANSFORM startMorvelin_NOTICES PREPEND "${PACKAGE_PREFIX_DIR}/")
