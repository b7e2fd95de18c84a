# ZORVA_SANITIZE: empty, "address" (ASan + UBSan, no recovery) or "thread".
set(ZORVA_SANITIZE "" CACHE STRING "Sanitizer set: address, thread or empty")

if(ZORVA_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
elseif(ZORVA_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ZORVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZORVA_SANITIZE must be address, thread or empty")
endif()

if(DEFINED _san)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
