# Test PKI of the development build, made at configure time in the build
# folder so that no private key ever enters the repository:
#   root.pem/.key/.der  test root CA (the end-to-end suite trusts it in Wine)
#   signing.pem/.key    code-signing certificate whose thumbprint is pinned
#   renewed.pem/.key    its renewal: same subject, new key (pinned beside it
#                       by the release check)
#   foreign.pem/.key    another code signer under the same root (must be refused)
#   tls.pem/.key        server certificate of the local CDN, DNS:localhost
#   manifest.key/.pub   EC P-256 key that signs the test CDN's release
#                       manifest (its public key is pinned)
# Nothing is regenerated while all files exist, so re-configuring is quick and
# the pinned thumbprint stays stable across builds.
find_program(VORA_OPENSSL openssl REQUIRED)

set(VORA_PKI_DIR ${CMAKE_BINARY_DIR}/pki)

function(_vora_pki_run)
  execute_process(COMMAND ${VORA_OPENSSL} ${ARGN}
    WORKING_DIRECTORY ${VORA_PKI_DIR}
    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${error}")
  endif()
endfunction()

function(_vora_pki_leaf name subject extensions serial)
  file(WRITE ${VORA_PKI_DIR}/${name}.ext "${extensions}\n")
  _vora_pki_run(req -new -newkey rsa:2048 -nodes -keyout ${name}.key -out ${name}.csr -subj ${subject})
  _vora_pki_run(x509 -req -in ${name}.csr -CA root.pem -CAkey root.key -set_serial ${serial}
    -days 3650 -sha256 -extfile ${name}.ext -out ${name}.pem)
  file(REMOVE ${VORA_PKI_DIR}/${name}.csr ${VORA_PKI_DIR}/${name}.ext)
endfunction()

function(_vora_pki_generate)
  file(REMOVE_RECURSE ${VORA_PKI_DIR})
  file(MAKE_DIRECTORY ${VORA_PKI_DIR})
  message(STATUS "Generating the test PKI in ${VORA_PKI_DIR}")
  _vora_pki_run(req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 3650 -sha256
    -subj "/O=Vora Test/CN=Vora Test Root CA"
    -addext "basicConstraints=critical,CA:TRUE"
    -addext "keyUsage=critical,keyCertSign,cRLSign")
  _vora_pki_run(x509 -in root.pem -outform DER -out root.der)
  # Random serials keep two generations of the PKI from sharing issuer+serial.
  string(RANDOM LENGTH 12 ALPHABET 0123456789abcdef serial)
  set(code_signing "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning")
  _vora_pki_leaf(signing "/O=Vora Test/CN=Vora Test Code Signing" "${code_signing}" 0x1${serial})
  _vora_pki_leaf(renewed "/O=Vora Test/CN=Vora Test Code Signing" "${code_signing}" 0x4${serial})
  _vora_pki_leaf(foreign "/O=Foreign Test/CN=Foreign Code Signing" "${code_signing}" 0x2${serial})
  _vora_pki_leaf(tls "/O=Vora Test/CN=localhost"
    "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost"
    0x3${serial})
endfunction()

set(_vora_pki_files root.pem root.key root.der signing.pem signing.key renewed.pem renewed.key foreign.pem foreign.key tls.pem tls.key)
set(_vora_pki_complete TRUE)
foreach(f ${_vora_pki_files})
  if(NOT EXISTS ${VORA_PKI_DIR}/${f})
    set(_vora_pki_complete FALSE)
  endif()
endforeach()
if(NOT _vora_pki_complete)
  _vora_pki_generate()
endif()
if(NOT EXISTS ${VORA_PKI_DIR}/manifest.key OR NOT EXISTS ${VORA_PKI_DIR}/manifest.pub)
  _vora_pki_run(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out manifest.key)
  _vora_pki_run(pkey -in manifest.key -pubout -out manifest.pub)
endif()

# SHA-1 of the signing certificate as 40 upper-case hex digits, the form the
# program compares against the signer found in a downloaded image.
function(vora_test_pki_thumbprint out_var)
  execute_process(COMMAND ${VORA_OPENSSL} x509 -noout -fingerprint -sha1 -in ${VORA_PKI_DIR}/signing.pem
    RESULT_VARIABLE result OUTPUT_VARIABLE fingerprint ERROR_VARIABLE error OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot read the test signing certificate: ${error}")
  endif()
  string(REGEX REPLACE "^.*=" "" fingerprint "${fingerprint}")
  string(REPLACE ":" "" fingerprint "${fingerprint}")
  string(TOUPPER "${fingerprint}" fingerprint)
  set(${out_var} "${fingerprint}" PARENT_SCOPE)
endfunction()
