# The storage URL and the pinned signer are fixed in the program at build
# time. Development and test builds point them at the local test CDN and the
# generated test signing certificate; a shipping build must name both.
set(VORA_TEST_CDN_PORT 48443 CACHE STRING "Port of the local test CDN")
set(VORA_STORAGE_BASE_URL "" CACHE STRING "Base URL of the storage CDN (https, ending in /)")
set(VORA_PINNED_SIGNER_THUMBPRINT "" CACHE STRING "SHA-1 thumbprints of the accepted code-signing certificates, separated by ;")

if(VORA_RELEASE)
  if(VORA_STORAGE_BASE_URL STREQUAL "" OR VORA_PINNED_SIGNER_THUMBPRINT STREQUAL "")
    message(FATAL_ERROR "A release build needs -DVORA_STORAGE_BASE_URL=... and -DVORA_PINNED_SIGNER_THUMBPRINT=...")
  endif()
endif()

if(VORA_STORAGE_BASE_URL STREQUAL "")
  set(VORA_STORAGE_BASE_URL_VALUE "https://localhost:${VORA_TEST_CDN_PORT}/")
else()
  set(VORA_STORAGE_BASE_URL_VALUE "${VORA_STORAGE_BASE_URL}")
endif()
if(NOT VORA_STORAGE_BASE_URL_VALUE MATCHES "^https://.*/$")
  message(FATAL_ERROR "VORA_STORAGE_BASE_URL must be an https URL ending in /")
endif()

if(VORA_PINNED_SIGNER_THUMBPRINT STREQUAL "")
  # Filled in by the test PKI of the Windows build; a placeholder elsewhere.
  set(VORA_PINNED_SIGNER_THUMBPRINT_VALUE "0000000000000000000000000000000000000000")
  if(CMAKE_CROSSCOMPILING AND COMMAND vora_test_pki_thumbprint)
    vora_test_pki_thumbprint(VORA_PINNED_SIGNER_THUMBPRINT_VALUE)
  endif()
else()
  set(VORA_PINNED_SIGNER_THUMBPRINT_VALUE "${VORA_PINNED_SIGNER_THUMBPRINT}")
endif()
# One or more pins separated by ';' (a CMake list): a renewed certificate is
# pinned beside the old one before the storage's files are re-signed.
if("${VORA_PINNED_SIGNER_THUMBPRINT_VALUE}" MATCHES "(^|;)(;|$)")
  message(FATAL_ERROR "VORA_PINNED_SIGNER_THUMBPRINT: an empty entry in '${VORA_PINNED_SIGNER_THUMBPRINT_VALUE}'")
endif()
set(_pins "")
foreach(_pin IN LISTS VORA_PINNED_SIGNER_THUMBPRINT_VALUE)
  string(TOUPPER "${_pin}" _pin)
  string(LENGTH "${_pin}" _thumb_len)
  if(NOT _pin MATCHES "^[0-9A-F]+$" OR NOT _thumb_len EQUAL 40)
    message(FATAL_ERROR "VORA_PINNED_SIGNER_THUMBPRINT: '${_pin}' is not 40 hexadecimal digits")
  endif()
  list(APPEND _pins "${_pin}")
endforeach()
list(REMOVE_DUPLICATES _pins)
set(VORA_PINNED_SIGNER_THUMBPRINT_VALUE "${_pins}")

configure_file(${CMAKE_SOURCE_DIR}/src/platform/build_config.h.in ${CMAKE_BINARY_DIR}/generated/build_config.h @ONLY)
