# The storage URL and the pinned signer are fixed in the program at build
# time. Development and test builds point them at the local test CDN and the
# generated test signing certificate; a shipping build must name both.
set(VORA_TEST_CDN_PORT 48443 CACHE STRING "Port of the local test CDN")
set(VORA_STORAGE_BASE_URL "" CACHE STRING "Base URL of the storage CDN (https, ending in /)")
set(VORA_PINNED_SIGNER_THUMBPRINT "" CACHE STRING "SHA-1 thumbprints of the accepted code-signing certificates, separated by ;")
set(VORA_MANIFEST_PUBLIC_KEYS "" CACHE STRING "PEM files of the accepted release manifest keys (EC P-256), separated by ;")

if(VORA_RELEASE)
  if(VORA_STORAGE_BASE_URL STREQUAL "" OR VORA_PINNED_SIGNER_THUMBPRINT STREQUAL "" OR
     VORA_MANIFEST_PUBLIC_KEYS STREQUAL "")
    message(FATAL_ERROR "A release build needs -DVORA_STORAGE_BASE_URL=..., -DVORA_PINNED_SIGNER_THUMBPRINT=... "
                        "and -DVORA_MANIFEST_PUBLIC_KEYS=...")
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

# The manifest keys, compiled in as the SHA-256 of each DER
# SubjectPublicKeyInfo (the envelope's keyid) and its point. Test builds pin
# the test PKI's key; a build without any pins none.
set(VORA_MANIFEST_PUBLIC_KEYS_VALUE "${VORA_MANIFEST_PUBLIC_KEYS}")
if(VORA_MANIFEST_PUBLIC_KEYS_VALUE STREQUAL "" AND CMAKE_CROSSCOMPILING AND DEFINED VORA_PKI_DIR)
  set(VORA_MANIFEST_PUBLIC_KEYS_VALUE "${VORA_PKI_DIR}/manifest.pub")
endif()
set(VORA_MANIFEST_KEYS_INIT "")
set(_key_index 0)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
foreach(_pem IN LISTS VORA_MANIFEST_PUBLIC_KEYS_VALUE)
  set(_der ${CMAKE_BINARY_DIR}/generated/manifest-key-${_key_index}.der)
  execute_process(COMMAND openssl pkey -pubin -in ${_pem} -outform DER -out ${_der}
    RESULT_VARIABLE _result ERROR_VARIABLE _error)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "VORA_MANIFEST_PUBLIC_KEYS: '${_pem}' is not a PEM public key: ${_error}")
  endif()
  file(READ ${_der} _hex HEX)
  # The fixed SubjectPublicKeyInfo of an uncompressed P-256 point.
  if(NOT _hex MATCHES "^3059301306072a8648ce3d020106082a8648ce3d03010703420004([0-9a-f]+)$")
    message(FATAL_ERROR "VORA_MANIFEST_PUBLIC_KEYS: '${_pem}' is not an EC P-256 public key")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _point "${CMAKE_MATCH_1}")
  file(SHA256 ${_der} _keyid)
  string(APPEND VORA_MANIFEST_KEYS_INIT "    {\"${_keyid}\", {${_point}}},\n")
  math(EXPR _key_index "${_key_index} + 1")
endforeach()
set(VORA_MANIFEST_KEY_COUNT ${_key_index})

# The release number: the project's version, as the four 16-bit parts of a
# version resource. The floor is the lowest release this setup installs; by
# default its own, so a setup never installs a release older than itself.
function(vora_version_parts out_var version)
  if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "'${version}' is not a version of up to four numbers")
  endif()
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  foreach(part IN LISTS parts)
    if(part GREATER 65535)
      message(FATAL_ERROR "'${version}': each part must be at most 65535")
    endif()
  endforeach()
  string(REPLACE ";" ", " parts "${parts}")
  set(${out_var} "${parts}" PARENT_SCOPE)
endfunction()
set(VORA_RELEASE_FLOOR "" CACHE STRING "Lowest release the setup installs (default: its own version)")
vora_version_parts(VORA_RELEASE_PARTS "${PROJECT_VERSION}")
if(VORA_RELEASE_FLOOR STREQUAL "")
  set(VORA_RELEASE_FLOOR_PARTS "${VORA_RELEASE_PARTS}")
else()
  vora_version_parts(VORA_RELEASE_FLOOR_PARTS "${VORA_RELEASE_FLOOR}")
endif()

# Download retries and time bounds (milliseconds). A shipping build waits as
# a player's network needs; development and test builds wait briefly so the
# suite's retry cases take seconds, not minutes. Each can be set on its own.
if(VORA_RELEASE)
  set(_retry_defaults 1000 10000 60000 60000 600000)
else()
  set(_retry_defaults 50 500 2000 3000 60000)
endif()
foreach(_setting IN ITEMS
    "RETRY_BASE_WAIT_MS|First wait between download attempts, doubled for each further one"
    "RETRY_SERVER_ERROR_WAIT_MS|Least wait before a retry after a 5xx answer"
    "RETRY_AFTER_LIMIT_MS|Longest Retry-After honoured; a longer one ends the attempts"
    "DOWNLOAD_STALL_MS|Time without a new byte after which a transfer has stalled"
    "DOWNLOAD_DEADLINE_MS|Time all downloads of one run may take together")
  string(REPLACE "|" ";" _setting "${_setting}")
  list(GET _setting 0 _name)
  list(GET _setting 1 _help)
  list(POP_FRONT _retry_defaults _default)
  set(VORA_${_name} "" CACHE STRING "${_help} (empty: the build's default)")
  if(VORA_${_name} STREQUAL "")
    set(VORA_${_name} "${_default}")
  endif()
  if(NOT VORA_${_name} MATCHES "^[1-9][0-9]*$" OR VORA_${_name} GREATER 4294967295)
    message(FATAL_ERROR "VORA_${_name}: '${VORA_${_name}}' is not a positive number of milliseconds")
  endif()
endforeach()

# Test builds may be stopped at a named point of an update (VORA_TEST_KILL_AT)
# or at the N-th call of its plan through the seam (VORA_TEST_KILL_AT_CALL),
# and made to fail that call once (VORA_TEST_FAIL_AT_CALL),
# as a kill would stop them; a release never reads those variables.
if(VORA_RELEASE)
  set(VORA_TEST_HOOKS false)
else()
  set(VORA_TEST_HOOKS true)
endif()
configure_file(${CMAKE_SOURCE_DIR}/src/platform/build_config.h.in ${CMAKE_BINARY_DIR}/generated/build_config.h @ONLY)
