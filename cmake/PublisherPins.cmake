# The publisher's code-signing certificates, pinned into the program when it is
# configured: the SHA-256 of each one's public key (its SubjectPublicKeyInfo).
# Writes ${PROJECT_BINARY_DIR}/generated/PublisherPins.h, which depends on the
# pins alone, so the same commit and the same pins give the same program.
set(ZIMLEX_PUBLISHER_CERTIFICATES "" CACHE STRING
    "The publisher's code-signing certificates (PEM or DER files, separated by ;) whose \
signatures the updater accepts on a payload; empty: it installs any payload")

set(zimlex_pins "")
set(zimlex_pin_count 0)
foreach(certificate IN LISTS ZIMLEX_PUBLISHER_CERTIFICATES)
  get_filename_component(certificate "${certificate}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
  if(NOT EXISTS "${certificate}")
    message(FATAL_ERROR "ZIMLEX_PUBLISHER_CERTIFICATES: no certificate at ${certificate}")
  endif()
  find_program(ZIMLEX_OPENSSL openssl REQUIRED)
  foreach(form PEM DER)
    execute_process(COMMAND ${ZIMLEX_OPENSSL} x509 -inform ${form} -in "${certificate}" -noout
                            -pubkey
                    COMMAND ${ZIMLEX_OPENSSL} pkey -pubin -outform DER
                    COMMAND ${ZIMLEX_OPENSSL} dgst -sha256 -r
                    OUTPUT_VARIABLE digest RESULTS_VARIABLE results ERROR_QUIET)
    if(results MATCHES "^0;0;0$" AND digest MATCHES "^([0-9a-f]+) ")
      break()
    endif()
    set(digest "")
  endforeach()
  string(SUBSTRING "${digest}" 0 64 digest)
  string(LENGTH "${digest}" digest_length)
  if(NOT digest MATCHES "^[0-9a-f]+$" OR NOT digest_length EQUAL 64)
    message(FATAL_ERROR "ZIMLEX_PUBLISHER_CERTIFICATES: ${certificate} is not a certificate")
  endif()
  string(REGEX REPLACE "(..)" "0x\\1, " bytes "${digest}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  string(APPEND zimlex_pins "    {${bytes}},\n")
  math(EXPR zimlex_pin_count "${zimlex_pin_count} + 1")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${certificate}")
  message(STATUS "Publisher pinned: ${certificate} (public key SHA-256 ${digest})")
endforeach()
if(zimlex_pin_count EQUAL 0)
  message(STATUS "No publisher pinned: the updater installs any payload")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/PublisherPins.h.in
               ${PROJECT_BINARY_DIR}/generated/PublisherPins.h @ONLY)
