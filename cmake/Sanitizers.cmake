# Sanitizer builds.
#
#   cmake -S . -B build-asan -DVELMORA_SANITIZE="address;undefined"
#
# VELMORA_SANITIZE is empty (no sanitizer) or a list of "address" and
# "undefined". The flags go to every target defined after this file is
# included, in this directory and below, so include it before the first
# add_library()/add_executable(). Errors are not recovered from: the first
# report ends the process, so a test with a report fails.

set(VELMORA_SANITIZE "" CACHE STRING "Sanitizers for every target: empty, or a list of address and undefined")

if(VELMORA_SANITIZE)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        message(FATAL_ERROR "VELMORA_SANITIZE needs GCC or Clang, not ${CMAKE_CXX_COMPILER_ID}")
    endif()
    foreach(sanitizer IN LISTS VELMORA_SANITIZE)
        if(NOT sanitizer MATCHES "^(address|undefined)$")
            message(FATAL_ERROR "VELMORA_SANITIZE: unknown sanitizer '${sanitizer}' (use address and/or undefined)")
        endif()
    endforeach()
    list(JOIN VELMORA_SANITIZE "," velmora_sanitizers)
    message(STATUS "Sanitizers: ${velmora_sanitizers}")
    add_compile_options(-fsanitize=${velmora_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${velmora_sanitizers} -fno-sanitize-recover=all)
    unset(velmora_sanitizers)
endif()
