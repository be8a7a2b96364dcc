# The library's export list has one home: the KELRES_EXPORTS list of include/KELResMgr.h. The
# Windows module-definition file and the Linux version script are written from it at configure
# time, and the configuration fails when a KELRES_API declaration of the header and the list
# disagree, so an export is added in the header and nowhere else.
#
# Also runs as a script, for scripts/check-dll:
#   cmake -DHEADER=include/KELResMgr.h -P cmake/exports.cmake   prints the names, one per line.

# kelres_export_names(<header> <out_var>): the names, in the list's order.
function(kelres_export_names header out_var)
    file(READ ${header} _text)
    string(REGEX MATCH "#define KELRES_EXPORTS\\(X\\)[^\n]*\n([ \t]*X\\([A-Za-z_0-9]+\\)[ \t\\\\]*\n)+"
           _block "${_text}")
    string(REGEX MATCHALL "X\\([A-Za-z_0-9]+\\)" _names "${_block}")
    list(TRANSFORM _names REPLACE "X\\(([A-Za-z_0-9]+)\\)" "\\1")
    if(NOT _names)
        message(FATAL_ERROR "${header}: no KELRES_EXPORTS list")
    endif()
    # Every declaration "KELRES_API <type> <name>(" at a line start is in the list, and nothing
    # else is.
    string(REGEX MATCHALL "\nKELRES_API[^(;]*[ *&]([A-Za-z_0-9]+)\\(" _declared "${_text}")
    list(TRANSFORM _declared REPLACE ".*[ *&]([A-Za-z_0-9]+)\\($" "\\1")
    set(_listed ${_names})
    list(SORT _listed)
    list(SORT _declared)
    if(NOT _listed STREQUAL _declared)
        message(FATAL_ERROR "${header}: the KELRES_API declarations (${_declared}) and the "
                            "KELRES_EXPORTS list (${_listed}) differ")
    endif()
    set(${out_var} ${_names} PARENT_SCOPE)
endfunction()

# kelres_write_export_files(<header> <def_file> <map_file>)
function(kelres_write_export_files header def_file map_file)
    kelres_export_names(${header} _names)
    set(_def "; The DLL's whole interface, undecorated: written from the KELRES_EXPORTS list of\n")
    string(APPEND _def "; KELResMgr.h.\nLIBRARY KELResMgr.dll\nEXPORTS\n")
    set(_map "/* The library's whole dynamic interface, written from the KELRES_EXPORTS list of\n")
    string(APPEND _map "   KELResMgr.h: the exports and nothing else (template instantiations of the\n")
    string(APPEND _map "   standard library would otherwise be visible too). */\n{\n  global:\n")
    foreach(_name IN LISTS _names)
        string(APPEND _def "    ${_name}\n")
        string(APPEND _map "    ${_name};\n")
    endforeach()
    string(APPEND _map "  local:\n    *;\n};\n")
    file(CONFIGURE OUTPUT ${def_file} CONTENT "${_def}" @ONLY)
    file(CONFIGURE OUTPUT ${map_file} CONTENT "${_map}" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND HEADER)
    kelres_export_names(${HEADER} _names)
    foreach(_name IN LISTS _names)
        message(NOTICE "${_name}")
    endforeach()
endif()
