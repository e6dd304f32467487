# Publishing to the local test CDN: the program files signed with the test
# code-signing certificate under their bare names in cdn/, and the faulty
# images the end-to-end suite must see refused in cdn-fixtures/.
find_program(VORA_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(VORA_PYTHON /usr/bin/python3 REQUIRED)

set(VORA_CDN_DIR ${CMAKE_BINARY_DIR}/cdn)
set(VORA_CDN_FIXTURES_DIR ${CMAKE_BINARY_DIR}/cdn-fixtures)
file(MAKE_DIRECTORY ${VORA_CDN_DIR} ${VORA_CDN_FIXTURES_DIR})

# osslsigncode will not overwrite its output, so a re-sign removes it first.
function(_vora_sign_command out_var input output signer)
  set(${out_var}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
    COMMAND ${VORA_OSSLSIGNCODE} sign -certs ${VORA_PKI_DIR}/${signer}.pem -key ${VORA_PKI_DIR}/${signer}.key
            -h sha256 -in ${input} -out ${output}
    PARENT_SCOPE)
endfunction()

set(_vora_cdn_outputs)
# A target's executable signed with the test signing certificate at output,
# built with the cdn target when that target exists.
function(_vora_publish_signed target output comment)
  if(TARGET ${target})
    _vora_sign_command(sign $<TARGET_FILE:${target}> ${output} signing)
    add_custom_command(OUTPUT ${output} ${sign}
      DEPENDS ${target} ${VORA_PKI_DIR}/signing.pem ${VORA_PKI_DIR}/signing.key
      COMMENT "${comment}" VERBATIM)
    set(_vora_cdn_outputs ${_vora_cdn_outputs} ${output} PARENT_SCOPE)
  endif()
endfunction()

foreach(program VoraService VoraSetup VoraBroker)
  _vora_publish_signed(${program} ${VORA_CDN_DIR}/${program}.exe "Signing ${program}.exe for the test CDN")
endforeach()

set(_fixture_source $<TARGET_FILE:VoraSetup>)
set(_unsigned ${VORA_CDN_FIXTURES_DIR}/unsigned.exe)
set(_foreign ${VORA_CDN_FIXTURES_DIR}/foreign-signed.exe)
set(_tampered ${VORA_CDN_FIXTURES_DIR}/tampered.exe)
# Signed by the renewal of the pinned certificate: a release pinned to both
# must install it.
set(_renewed ${VORA_CDN_FIXTURES_DIR}/renewed-signed.exe)
_vora_sign_command(sign_foreign ${_fixture_source} ${_foreign} foreign)
_vora_sign_command(sign_renewed ${_fixture_source} ${_renewed} renewed)
add_custom_command(OUTPUT ${_unsigned} ${_foreign} ${_tampered} ${_renewed}
  COMMAND ${CMAKE_COMMAND} -E copy ${_fixture_source} ${_unsigned}
  ${sign_foreign}
  ${sign_renewed}
  COMMAND ${VORA_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py ${VORA_CDN_DIR}/VoraSetup.exe ${_tampered}
  DEPENDS VoraSetup ${VORA_CDN_DIR}/VoraSetup.exe ${VORA_PKI_DIR}/foreign.pem ${VORA_PKI_DIR}/foreign.key
          ${VORA_PKI_DIR}/renewed.pem ${VORA_PKI_DIR}/renewed.key
          ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py
  COMMENT "Making the faulty images of the test CDN" VERBATIM)

# Signed like the program files, but a service that exits before it runs.
_vora_publish_signed(service_exits ${VORA_CDN_FIXTURES_DIR}/service-exits.exe
  "Signing the stand-in service that will not start")
# The next release's service, signed, ending as it starts.
_vora_publish_signed(next_service_stops ${VORA_CDN_FIXTURES_DIR}/next-service-stops.exe
  "Signing the next release's stand-in service that ends as it starts")

# The next release, signed, under the bare names in next/; and a signed
# broker that carries no version resource.
set(VORA_CDN_NEXT_DIR ${VORA_CDN_FIXTURES_DIR}/next)
file(MAKE_DIRECTORY ${VORA_CDN_NEXT_DIR})
foreach(pair next_service:VoraService next_setup:VoraSetup next_broker:VoraBroker no_version_broker:no-version)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 target)
  list(GET pair 1 name)
  if(target STREQUAL "no_version_broker")
    set(signed ${VORA_CDN_FIXTURES_DIR}/${name}.exe)
  else()
    set(signed ${VORA_CDN_NEXT_DIR}/${name}.exe)
  endif()
  _vora_publish_signed(${target} ${signed} "Signing fixture ${name}.exe for the test CDN")
endforeach()

# The signed broker with one letter of the name in its version resource
# changed: the signature, not the name check, must refuse it.
set(_rsrc_tampered ${VORA_CDN_FIXTURES_DIR}/rsrc-tampered.exe)
add_custom_command(OUTPUT ${_rsrc_tampered}
  COMMAND ${VORA_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py ${VORA_CDN_DIR}/VoraBroker.exe ${_rsrc_tampered} rsrc
  DEPENDS ${VORA_CDN_DIR}/VoraBroker.exe ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py
  COMMENT "Changing the version resource of a signed broker" VERBATIM)

# Published files with a forged signed content: the changed image's digest
# under the publisher's own signed attributes and signature.
set(_forged)
foreach(program VoraService VoraBroker)
  string(TOLOWER "${program}" lower)
  string(REPLACE "vora" "forged-" name "${lower}")
  set(output ${VORA_CDN_FIXTURES_DIR}/${name}.exe)
  add_custom_command(OUTPUT ${output}
    COMMAND ${VORA_PYTHON} ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py ${VORA_CDN_DIR}/${program}.exe ${output} forge
    DEPENDS ${VORA_CDN_DIR}/${program}.exe ${CMAKE_SOURCE_DIR}/cmake/tamper_image.py
    COMMENT "Forging the signed content of ${program}.exe" VERBATIM)
  list(APPEND _forged ${output})
endforeach()

add_custom_target(cdn ALL DEPENDS ${_vora_cdn_outputs} ${_unsigned} ${_foreign} ${_tampered} ${_renewed}
  ${_rsrc_tampered} ${_forged})
