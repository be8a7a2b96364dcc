# Fails when the built library holds code that only the operators' tool uses: the package check,
# signing and the tool's own classes ship with the tool, never in the client's library.
#   cmake -DNM=<nm> -DLIBRARY=<library file> -P library_symbols.cmake
execute_process(COMMAND ${NM} -C ${LIBRARY} OUTPUT_VARIABLE _symbols RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
    message(FATAL_ERROR "${NM} ${LIBRARY} failed (${_status})")
endif()
set(_found)
foreach(_name "kel::CheckPackage(" "kel::ProblemsFor(" "kel::WriteSignedPackage("
              "kel::ReadPrivateKey(" "kel::PrivateKeyFileText(" "kel::PublicKeyText"
              "kel::platform::SignP256(" "kel::platform::GenerateP256Key(" "kel::tool::")
    string(FIND "${_symbols}" "${_name}" _at)
    if(NOT _at EQUAL -1)
        list(APPEND _found "${_name}")
    endif()
endforeach()
if(_found)
    message(FATAL_ERROR "${LIBRARY} holds the tool's code: ${_found}")
endif()
