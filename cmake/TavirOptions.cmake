# Warnings and sanitizer builds shared by every target of the tree.
option(TAVIR_ASAN "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TAVIR_TSAN "Build with ThreadSanitizer" OFF)

if(TAVIR_ASAN AND TAVIR_TSAN)
  message(FATAL_ERROR "TAVIR_ASAN and TAVIR_TSAN cannot be combined")
endif()

add_compile_options(-Wall -Wextra -Wshadow)
# Clang checks which lock guards what (tiny/ThreadSafety.h); other compilers
# take the annotations as nothing.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()

if(TAVIR_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TAVIR_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
# Whether the objects carry a sanitizer, by the options above or by flags
# the caller gave (the fuzzing build).
if(TAVIR_ASAN OR TAVIR_TSAN OR CMAKE_C_FLAGS MATCHES "sanitize")
  set(TAVIR_SANITIZED ON)
else()
  set(TAVIR_SANITIZED OFF)
endif()

find_package(Threads REQUIRED)
