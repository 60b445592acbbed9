# Shared build settings of the project.

if(HV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings are errors in project code only (not in GoogleTest or system headers).
function(hv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter -Wno-multichar)
endfunction()

# Platform code: ordinary C++ that implements the Windows-shaped API.
function(hv_platform_code target)
  hv_warnings(${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include/shared)
endfunction()

# Kernel-mode code (drivers and test drivers): sees only the kernel-mode headers.
function(hv_kernel_code target)
  hv_warnings(${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include/shared ${PROJECT_SOURCE_DIR}/platform/include/km)
  # The pool charges each block to the image whose code called the allocator (found from the
  # return address), so calls out of an image must not become tail jumps.
  target_compile_options(${target} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions
    -fno-optimize-sibling-calls)
endfunction()

# User-mode code (programs and libraries of the package): sees only the user-mode headers.
function(hv_user_code target)
  hv_warnings(${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include/shared ${PROJECT_SOURCE_DIR}/platform/include/um)
endfunction()

# One GoogleTest executable per component test folder.
function(hv_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  hv_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  set(labels ${ARG_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()
