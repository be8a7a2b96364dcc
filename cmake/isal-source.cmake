# ISA-L for the 64-bit Windows build, built from Debian's source package of the version the Linux
# build links (libisal-dev's), with the cross compiler and nasm, and linked statically: there is
# no Windows package of it. The build fetches the source (cmake/build-isal, cmake/debian-source)
# once, into <build>/isa-l-<version>/download; a rebuild, offline too, takes it from there.
#
# kelres_isal_from_source() sets KELRES_ISAL_INCLUDE_DIR and KELRES_ISAL_LIBRARY in the caller's
# scope and defines the target kelres_isal_build that makes them, when the version, nasm and
# dpkg-source are known; otherwise it sets nothing and says what is missing.
function(kelres_isal_from_source)
    execute_process(COMMAND dpkg-query -W "--showformat=\${source:Package} \${source:Version}"
                            libisal-dev
                    OUTPUT_VARIABLE _installed ERROR_QUIET RESULT_VARIABLE _result)
    set(KELRES_ISAL_SOURCE "" CACHE STRING
        "Debian source package of ISA-L for the Windows build, 'NAME VERSION'; empty: libisal-dev's")
    set(_source ${KELRES_ISAL_SOURCE})
    if(NOT _source AND _result EQUAL 0)
        set(_source ${_installed})
    endif()
    find_program(KELRES_NASM nasm)
    find_program(KELRES_DPKG_SOURCE dpkg-source)
    if(NOT _source MATCHES "^[^ ]+ [^ ]+$" OR NOT KELRES_NASM OR NOT KELRES_DPKG_SOURCE)
        message(STATUS "ISA-L from source needs libisal-dev installed (its version), nasm and "
                       "dpkg-source (dpkg-dev): scripts/install-deps installs them")
        return()
    endif()
    string(REPLACE " " ";" _source "${_source}")
    list(GET _source 0 _package)
    list(GET _source 1 _version)
    set(_dir ${CMAKE_BINARY_DIR}/isa-l-${_version})
    set(_library ${_dir}/lib/libisal.a)
    set(_header ${_dir}/include/isa-l/igzip_lib.h)
    add_custom_command(
        OUTPUT ${_library} ${_header}
        COMMAND ${PROJECT_SOURCE_DIR}/cmake/build-isal ${_package} ${_version} ${_dir}
                ${CMAKE_C_COMPILER} ${CMAKE_AR} ${KELRES_NASM}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/build-isal ${PROJECT_SOURCE_DIR}/cmake/debian-source
        COMMENT "Building ISA-L ${_version} from Debian's source package ${_package}"
        VERBATIM)
    add_custom_target(kelres_isal_build DEPENDS ${_library} ${_header})
    # ISA-L's BSD licence asks for its notice beside the binaries that contain it.
    install(FILES ${_dir}/LICENSE DESTINATION licenses RENAME ISA-L.txt COMPONENT runtime)
    set(KELRES_ISAL_INCLUDE_DIR ${_dir}/include PARENT_SCOPE)
    set(KELRES_ISAL_LIBRARY ${_library} PARENT_SCOPE)
endfunction()
