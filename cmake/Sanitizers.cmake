# One tree per sanitizer set: TESSARINE_SANITIZE is "", "address" (with
# UndefinedBehaviorSanitizer) or "thread". A finding stops the program with a
# failing exit status so that ctest counts it as a failure.
set(TESSARINE_SANITIZE "" CACHE STRING "Sanitizers: empty, address or thread")

if(TESSARINE_SANITIZE STREQUAL "address")
  set(_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(TESSARINE_SANITIZE STREQUAL "thread")
  set(_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT TESSARINE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESSARINE_SANITIZE must be empty, address or thread")
endif()

if(_san_flags)
  add_compile_options(${_san_flags})
  add_link_options(${_san_flags})
endif()
