# Runs at the end of the package's installation, in the folder that becomes
# the zip: signs the programs with Authenticode when the environment names a
# code-signing certificate, then writes SHA256SUMS of everything in it.
#   RZ_SIGN_CERT      the certificate: a .pfx/.p12 file with its key, or a
#                     PEM/DER certificate (chain) beside RZ_SIGN_KEY
#   RZ_SIGN_KEY       the private key of a PEM/DER certificate
#   RZ_SIGN_PASSWORD  the password of the .pfx or the key, when it has one
#   RZ_SIGN_TIMESTAMP the URL of an RFC 3161 time-stamping service (optional)
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(REMOVE "${dir}/SHA256SUMS" "${dir}/UNSIGNED.txt")
file(GLOB programs RELATIVE "${dir}" "${dir}/*.exe")

function(sign_programs)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "RZ_SIGN_CERT is set but osslsigncode is not installed")
  endif()
  if("$ENV{RZ_SIGN_CERT}" MATCHES "\\.([pP][fF][xX]|[pP]12)$")
    set(credentials -pkcs12 "$ENV{RZ_SIGN_CERT}")
  elseif("$ENV{RZ_SIGN_KEY}" STREQUAL "")
    message(FATAL_ERROR "RZ_SIGN_CERT names a certificate without its key: set RZ_SIGN_KEY")
  else()
    set(credentials -certs "$ENV{RZ_SIGN_CERT}" -key "$ENV{RZ_SIGN_KEY}")
  endif()
  # The password goes through a file: on a command line any user could read it.
  set(secret "${dir}/../rz-sign-password")
  if(NOT "$ENV{RZ_SIGN_PASSWORD}" STREQUAL "")
    file(TOUCH "${secret}")
    file(CHMOD "${secret}" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(WRITE "${secret}" "$ENV{RZ_SIGN_PASSWORD}")
    list(APPEND credentials -readpass "${secret}")
  endif()
  if(NOT "$ENV{RZ_SIGN_TIMESTAMP}" STREQUAL "")
    list(APPEND credentials -ts "$ENV{RZ_SIGN_TIMESTAMP}")
  endif()
  foreach(program IN LISTS programs)
    file(REMOVE "${dir}/${program}.signed")
    execute_process(COMMAND "${OSSLSIGNCODE}" sign ${credentials} -h sha256 -n ROREROZARIRADI
                            -in "${dir}/${program}" -out "${dir}/${program}.signed"
                    RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(failed)
      file(REMOVE "${secret}" "${dir}/${program}.signed")
      message(FATAL_ERROR "signing ${program} failed: ${said}")
    endif()
    file(RENAME "${dir}/${program}.signed" "${dir}/${program}")
  endforeach()
  file(REMOVE "${secret}")
  list(JOIN programs ", " signed)
  message(NOTICE "Authenticode-signed with $ENV{RZ_SIGN_CERT}: ${signed}")
endfunction()

if("$ENV{RZ_SIGN_CERT}" STREQUAL "")
  file(WRITE "${dir}/UNSIGNED.txt"
       "The programs of this package carry no Authenticode signature: it was made without\r\n"
       "the centre's code-signing certificate. Check them against SHA256SUMS, whose sums\r\n"
       "should come to you by another way than the package itself.\r\n")
  message(NOTICE "Not signed (RZ_SIGN_CERT is not set): the zip's name ends in -unsigned")
else()
  sign_programs()
endif()

# In the form of sha256sum: "sha256sum -c SHA256SUMS" checks the unpacked files.
file(GLOB files RELATIVE "${dir}" "${dir}/*")
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${dir}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${dir}/SHA256SUMS" "${sums}")
